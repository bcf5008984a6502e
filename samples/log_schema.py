"""Protobuf classes for the log batch schema, built at run time with the protobuf package.

Two families share field numbers: ``LogGroupList`` (every string is UTF-8 text) and
``LogGroupListRaw`` (a content's value is bytes). Both are encoded by the protobuf package
itself, so tests and benchmarks feed the module bytes written by an independent encoder.
"""

from google.protobuf import descriptor_pb2, descriptor_pool

try:  # protobuf >= 4.21
    from google.protobuf.message_factory import GetMessageClass as _message_class
except ImportError:  # pragma: no cover - older protobuf
    from google.protobuf import message_factory as _factory

    def _message_class(descriptor):
        return _factory.MessageFactory().GetPrototype(descriptor)


_F = descriptor_pb2.FieldDescriptorProto


def _field(message, name, number, kind, label=_F.LABEL_OPTIONAL, type_name=None, proto3_optional=False):
    field = message.field.add(name=name, number=number, type=kind, label=label)
    if type_name:
        field.type_name = type_name
    if proto3_optional:
        field.proto3_optional = True
        field.oneof_index = len(message.oneof_decl)
        message.oneof_decl.add(name="_" + name)
    return field


def _build_file(suffix, value_type):
    file = descriptor_pb2.FileDescriptorProto(
        name=f"morvex_logs{suffix.lower()}.proto", package="morvex" + suffix.lower(), syntax="proto2"
    )
    pkg = "." + file.package
    content = file.message_type.add(name="Content")
    _field(content, "key", 1, _F.TYPE_STRING)
    _field(content, "value", 2, value_type)
    log = file.message_type.add(name="Log")
    _field(log, "time", 1, _F.TYPE_UINT32)
    _field(log, "contents", 2, _F.TYPE_MESSAGE, _F.LABEL_REPEATED, pkg + ".Content")
    _field(log, "time_ns", 4, _F.TYPE_FIXED32)
    tag = file.message_type.add(name="LogTag")
    _field(tag, "key", 1, _F.TYPE_STRING)
    _field(tag, "value", 2, _F.TYPE_STRING)
    group = file.message_type.add(name="LogGroup")
    _field(group, "logs", 1, _F.TYPE_MESSAGE, _F.LABEL_REPEATED, pkg + ".Log")
    _field(group, "topic", 3, _F.TYPE_STRING)
    _field(group, "source", 4, _F.TYPE_STRING)
    _field(group, "machine_uuid", 5, _F.TYPE_STRING)
    _field(group, "log_tags", 6, _F.TYPE_MESSAGE, _F.LABEL_REPEATED, pkg + ".LogTag")
    group_list = file.message_type.add(name="LogGroupList")
    _field(group_list, "log_groups", 1, _F.TYPE_MESSAGE, _F.LABEL_REPEATED, pkg + ".LogGroup")
    pool = descriptor_pool.DescriptorPool()
    pool.Add(file)
    return {name: _message_class(pool.FindMessageTypeByName(f"{file.package}.{name}"))
            for name in ("Content", "Log", "LogTag", "LogGroup", "LogGroupList")}


# proto2 keeps field presence for every singular field, so "absent" and "present but
# empty" topic/source and absent time_ns are expressible, as on the wire.
_text = _build_file("", _F.TYPE_STRING)
_raw = _build_file("Raw", _F.TYPE_BYTES)

Content = _text["Content"]
Log = _text["Log"]
LogTag = _text["LogTag"]
LogGroup = _text["LogGroup"]
LogGroupList = _text["LogGroupList"]

ContentRaw = _raw["Content"]
LogRaw = _raw["Log"]
LogTagRaw = _raw["LogTag"]
LogGroupRaw = _raw["LogGroup"]
LogGroupListRaw = _raw["LogGroupList"]


def flatten_json_records(group_list):
    """Flat records of a parsed LogGroupList in the JSON text path's fill order:
    contents, __time__, __topic__, __source__, __time_ns__, tags (later wins)."""
    records = []
    for group in group_list.log_groups:
        tags = [("__tag__:" + t.key, t.value) for t in group.log_tags]
        for log in group.logs:
            record = {}
            for c in log.contents:
                record[c.key] = c.value
            record["__time__"] = log.time
            if group.HasField("topic"):
                record["__topic__"] = group.topic
            if group.HasField("source"):
                record["__source__"] = group.source
            if log.HasField("time_ns"):
                record["__time_ns__"] = log.time_ns
            for key, value in tags:
                record[key] = value
            records.append(record)
    return records


def flatten_dicts(group_list_raw, time_as_str, decode_utf8):
    """Flat dicts of a parsed LogGroupListRaw in the dictionary path's insertion order."""
    def time(value):
        return str(value) if time_as_str else value

    records = []
    for group in group_list_raw.log_groups:
        tags = [("__tag__:" + t.key, t.value) for t in group.log_tags]
        for log in group.logs:
            record = {"__time__": time(log.time)}
            if log.HasField("time_ns"):
                record["__time_ns__"] = time(log.time_ns)
            for c in log.contents:
                record[c.key] = c.value.decode("utf-8") if decode_utf8 else bytes(c.value)
            if group.HasField("topic"):
                record["__topic__"] = group.topic
            if group.HasField("source"):
                record["__source__"] = group.source
            for key, value in tags:
                record[key] = value
            records.append(record)
    return records
