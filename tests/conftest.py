import os
import sys

# The shared protobuf schema (encoded by the protobuf package, an independent witness).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples"))
