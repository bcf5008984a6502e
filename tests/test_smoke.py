import lz4.block
import log_schema
from morvex_log_py_bindings import log_parser


def test_spec_example_round_trip():
    batch = log_schema.LogGroupList()
    group = batch.log_groups.add(topic="app")
    group.log_tags.add(key="host", value="a1")
    log = group.logs.add(time=5)
    log.contents.add(key="msg", value="hi")
    log.contents.add(key="Type", value="info")
    data = batch.SerializeToString()
    expected = '[{"Type":"info","__tag__:host":"a1","__time__":5,"__topic__":"app","msg":"hi"}]'
    assert log_parser.logs_to_flat_json_str(data) == expected
    block = lz4.block.compress(data, store_size=False)
    assert log_parser.lz4_logs_to_flat_json_str(block, len(data)) == expected
    assert log_parser.lz4_logs_to_flat_json(block, len(data), False, True) == [
        {"__time__": 5, "msg": "hi", "Type": "info", "__topic__": "app", "__tag__:host": "a1"}
    ]
