"""Makes a small log batch with the protobuf package, then shows the three conversions."""

import json
import os
import sys

import lz4.block

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import log_schema  # noqa: E402
from morvex_log_py_bindings import log_parser  # noqa: E402


def sample_batch():
    batch = log_schema.LogGroupList()
    web = batch.log_groups.add(topic="nginx", source="10.0.0.7")
    web.log_tags.add(key="host", value="web-1")
    web.log_tags.add(key="region", value="eu-west")
    for i, (path, status) in enumerate([("/index.html", "200"), ("/api/v1/login", "401")]):
        log = web.logs.add(time=1_700_000_000 + i, time_ns=123_456_789)
        log.contents.add(key="request", value=f"GET {path} HTTP/1.1")
        log.contents.add(key="status", value=status)
        log.contents.add(key="ua", value='Mozilla/5.0 "demo"')
    app = batch.log_groups.add(topic="")
    log = app.logs.add(time=1_700_000_100)
    log.contents.add(key="message", value="línea 1\nline 2\ttabbed ✓")
    return batch.SerializeToString()


def main():
    data = sample_batch()
    compressed = lz4.block.compress(data, store_size=False)
    print(f"sample batch: {len(data)} bytes of protobuf, {len(compressed)} as an LZ4 block\n")
    if len(sys.argv) == 3 and sys.argv[1] == "--write-dir":
        # Input files for the command-line tool (see scripts/demo.sh).
        os.makedirs(sys.argv[2], exist_ok=True)
        for name, content in (("sample.pb", data), ("sample.lz4", compressed)):
            with open(os.path.join(sys.argv[2], name), "wb") as f:
                f.write(content)

    text = log_parser.logs_to_flat_json_str(data)
    print("logs_to_flat_json_str(data):")
    print(text, "\n")
    assert log_parser.lz4_logs_to_flat_json_str(compressed, len(data)) == text
    print("lz4_logs_to_flat_json_str(compressed, raw_size) gives the same text\n")

    records = log_parser.lz4_logs_to_flat_json(compressed, len(data), False, True)
    print("lz4_logs_to_flat_json(compressed, raw_size, time_as_str=False, decode_utf8=True):")
    for record in records:
        print(" ", record)
    print("\nas indented JSON:")
    print(json.dumps(json.loads(text), indent=2, ensure_ascii=False))


if __name__ == "__main__":
    main()
