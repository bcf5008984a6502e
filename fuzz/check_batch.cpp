#include "check_batch.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "log_parser/flat_json.hpp"
#include "pb/log_group.hpp"

namespace fuzz {

void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// ---------------------------------------------------------------------------------------
// UTF-8, decoded code point by code point.

namespace {

// Decodes one code point at `i`; returns its length, or 0 when the bytes there are not a
// well-formed sequence.
size_t decode_code_point(std::string_view s, size_t i, uint32_t& cp) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    const uint8_t lead = byte(i);
    size_t length;
    uint32_t min;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > s.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return length;
}

void put_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

bool utf8_valid(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t n = decode_code_point(text, i, cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::vector<uint32_t> code_points(std::string_view text) {
    std::vector<uint32_t> points;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k)
            point = point << 6 | (static_cast<uint8_t>(text[i + k]) & 0x3F);
        points.push_back(point);
        i += length;
    }
    return points;
}

// ---------------------------------------------------------------------------------------
// Strict JSON parser.

namespace {

class Parser {
  public:
    explicit Parser(std::string_view text) : s_(text) {}

    bool document(Json& out) {
        skip_ws();
        if (!value(out, 0)) return false;
        skip_ws();
        return i_ == s_.size();
    }

  private:
    static constexpr int kMaxDepth = 64;

    bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
    bool eat(char c) {
        if (!at(c)) return false;
        ++i_;
        return true;
    }
    void skip_ws() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    bool digit() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }

    bool value(Json& out, int depth) {
        if (depth > kMaxDepth || i_ >= s_.size()) return false;
        switch (s_[i_]) {
            case '{':
                return object(out, depth);
            case '[':
                return array(out, depth);
            case '"':
                out.kind = Json::Kind::String;
                return string(out.text);
            case 't':
                out.kind = Json::Kind::Bool;
                return literal("true");
            case 'f':
                out.kind = Json::Kind::Bool;
                return literal("false");
            case 'n':
                out.kind = Json::Kind::Null;
                return literal("null");
            default:
                out.kind = Json::Kind::Number;
                return number(out.text);
        }
    }

    bool object(Json& out, int depth) {
        out.kind = Json::Kind::Object;
        ++i_;
        skip_ws();
        if (eat('}')) return true;
        for (;;) {
            std::string key;
            if (!at('"') || !string(key)) return false;
            skip_ws();
            if (!eat(':')) return false;
            skip_ws();
            Json member;
            if (!value(member, depth + 1)) return false;
            out.keys.push_back(std::move(key));
            out.items.push_back(std::move(member));
            skip_ws();
            if (eat('}')) return true;
            if (!eat(',')) return false;
            skip_ws();
        }
    }

    bool array(Json& out, int depth) {
        out.kind = Json::Kind::Array;
        ++i_;
        skip_ws();
        if (eat(']')) return true;
        for (;;) {
            Json item;
            if (!value(item, depth + 1)) return false;
            out.items.push_back(std::move(item));
            skip_ws();
            if (eat(']')) return true;
            if (!eat(',')) return false;
            skip_ws();
        }
    }

    bool number(std::string& text) {
        const size_t start = i_;
        eat('-');
        if (eat('0')) {
            // no leading zeros
        } else if (digit()) {
            while (digit()) ++i_;
        } else {
            return false;
        }
        if (eat('.')) {
            if (!digit()) return false;
            while (digit()) ++i_;
        }
        if (at('e') || at('E')) {
            ++i_;
            if (!eat('+')) eat('-');
            if (!digit()) return false;
            while (digit()) ++i_;
        }
        text.assign(s_.substr(start, i_ - start));
        return true;
    }

    bool hex4(uint32_t& value) {
        if (i_ + 4 > s_.size()) return false;
        value = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= c - '0';
            else if (c >= 'a' && c <= 'f')
                value |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                value |= c - 'A' + 10;
            else
                return false;
        }
        return true;
    }

    bool string(std::string& out) {
        ++i_;  // the opening quote
        for (;;) {
            if (i_ >= s_.size()) return false;
            const auto c = static_cast<uint8_t>(s_[i_]);
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') {
                uint32_t cp;
                const size_t n = decode_code_point(s_, i_, cp);
                if (n == 0) return false;
                out.append(s_.substr(i_, n));
                i_ += n;
                continue;
            }
            ++i_;
            if (i_ >= s_.size()) return false;
            const char e = s_[i_++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    uint32_t cp;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        uint32_t low;
                        if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
                            return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    put_utf8(out, cp);
                    break;
                }
                default:
                    return false;
            }
        }
    }

    std::string_view s_;
    size_t i_ = 0;
};

}  // namespace

bool parse_json(std::string_view text, Json& out) {
    out = Json{};
    return Parser(text).document(out);
}

// ---------------------------------------------------------------------------------------
// Decoding invariants.

namespace {

constexpr std::string_view kPrefix = "failed to decode Protobuf message: ";
constexpr std::string_view kBadUtf8 = "invalid string value: data is not UTF-8 encoded";

std::string hex_of(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes.substr(0, 512)) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The descriptions a decode may end with.
bool known_description(const std::string& d) {
    static const std::set<std::string> fixed = {
        "invalid varint",          "buffer underflow",           "delimited length exceeded",
        "recursion limit reached", "unexpected end group tag",   std::string(kBadUtf8),
        "invalid tag value: 0",    "invalid wire type value: 6", "invalid wire type value: 7"};
    if (fixed.count(d)) return true;
    const std::string key = "invalid key value: ";
    if (d.rfind(key, 0) == 0) {
        const std::string number = d.substr(key.size());
        return !number.empty() && number.size() <= 20 &&
               number.find_first_not_of("0123456789") == std::string::npos &&
               std::stoull(number) > 0xFFFFFFFFULL;
    }
    static const char* names[] = {"Varint",     "SixtyFourBit", "LengthDelimited",
                                  "StartGroup", "EndGroup",     "ThirtyTwoBit"};
    for (const char* expected : {"Varint", "LengthDelimited", "ThirtyTwoBit"}) {
        for (const char* actual : names) {
            if (std::strcmp(actual, expected) == 0) continue;
            if (d == std::string("invalid wire type: ") + actual + " (expected " + expected + ")") {
                return true;
            }
        }
    }
    return false;
}

struct Family {
    std::string list, group, log, content, tag;
};
const Family kText{"LogGroupList", "LogGroup", "Log", "Content", "LogTag"};
const Family kRaw{"LogGroupListRaw", "LogGroupRaw", "LogRaw", "Content", "LogTagRaw"};

// The (message, field) pairs of a display text, innermost first.
std::vector<std::pair<std::string, std::string>> context_of(const std::string& display,
                                                            const std::string& description) {
    FUZZ_CHECK(display.rfind(kPrefix, 0) == 0, display);
    FUZZ_CHECK(display.size() >= kPrefix.size() + description.size() &&
                   display.compare(display.size() - description.size(), description.size(),
                                   description) == 0,
               display);
    std::string middle =
        display.substr(kPrefix.size(), display.size() - kPrefix.size() - description.size());
    std::vector<std::pair<std::string, std::string>> pairs;
    while (!middle.empty()) {
        const size_t end = middle.find(": ");
        FUZZ_CHECK(end != std::string::npos, display);
        const std::string pair = middle.substr(0, end);
        const size_t dot = pair.find('.');
        FUZZ_CHECK(dot != std::string::npos, display);
        pairs.emplace_back(pair.substr(0, dot), pair.substr(dot + 1));
        middle.erase(0, end + 2);
    }
    return pairs;
}

// The context must be a path from the top-level field down to the failing field.
void check_context(const std::vector<std::pair<std::string, std::string>>& pairs, const Family& f,
                   const std::string& display) {
    const std::map<std::string, std::set<std::string>> fields = {
        {f.list, {"log_groups"}},
        {f.group, {"logs", "topic", "source", "machine_uuid", "log_tags"}},
        {f.log, {"time", "contents", "time_ns"}},
        {f.content, {"key", "value"}},
        {f.tag, {"key", "value"}},
    };
    const std::map<std::string, std::string> child = {
        {"log_groups", f.group}, {"logs", f.log}, {"contents", f.content}, {"log_tags", f.tag}};
    for (size_t i = 0; i < pairs.size(); ++i) {
        const auto it = fields.find(pairs[i].first);
        FUZZ_CHECK(it != fields.end() && it->second.count(pairs[i].second), display);
        if (i + 1 < pairs.size()) {
            const auto parent = child.find(pairs[i + 1].second);
            FUZZ_CHECK(parent != child.end() && parent->second == pairs[i].first, display);
        } else {
            FUZZ_CHECK(pairs[i].first == f.list, display);
        }
    }
}

void check_error(const pb::DecodeError& error, const Family& f) {
    const std::string display = error.display();
    FUZZ_CHECK(known_description(error.description()), display);
    check_context(context_of(display, error.description()), f, display);
}

// The text display with every record name of the raw family.
std::string raw_display_of(const pb::DecodeError& error) {
    const std::string display = error.display();
    std::string out(kPrefix);
    const std::map<std::string, std::string> rename = {{kText.list, kRaw.list},
                                                       {kText.group, kRaw.group},
                                                       {kText.log, kRaw.log},
                                                       {kText.content, kRaw.content},
                                                       {kText.tag, kRaw.tag}};
    for (const auto& [message, field] : context_of(display, error.description())) {
        out += rename.at(message) + "." + field + ": ";
    }
    return out + error.description();
}

template <class List>
size_t count_logs(const List& list) {
    size_t n = 0;
    for (const pb::LogGroup& group : list.log_groups) n += list.logs_of(group).size();
    return n;
}

bool same_text(std::string_view a, std::string_view b) {
    return a.data() == b.data() && a.size() == b.size();
}

bool same_optional(const pb::OptionalText& a, const pb::OptionalText& b) {
    return a.present == b.present && (!a.present || same_text(a.text, b.text));
}

// Both families decode the same bytes into the same records.
void check_same_batch(const pb::LogGroupList& t, const pb::LogGroupListRaw& r,
                      const std::string& input_hex) {
    FUZZ_CHECK(t.log_groups.size() == r.log_groups.size(), input_hex);
    for (size_t g = 0; g < t.log_groups.size(); ++g) {
        const pb::LogGroup& a = t.log_groups[g];
        const pb::LogGroupRaw& b = r.log_groups[g];
        FUZZ_CHECK(same_optional(a.topic, b.topic) && same_optional(a.source, b.source) &&
                       same_optional(a.machine_uuid, b.machine_uuid),
                   input_hex);
        const auto la = t.logs_of(a);
        const auto lb = r.logs_of(b);
        FUZZ_CHECK(la.size() == lb.size(), input_hex);
        for (size_t i = 0; i < la.size(); ++i) {
            FUZZ_CHECK(la[i].time == lb[i].time && la[i].has_time_ns == lb[i].has_time_ns &&
                           (!la[i].has_time_ns || la[i].time_ns == lb[i].time_ns),
                       input_hex);
            const auto ca = t.contents_of(la[i]);
            const auto cb = r.contents_of(lb[i]);
            FUZZ_CHECK(ca.size() == cb.size(), input_hex);
            for (size_t k = 0; k < ca.size(); ++k) {
                FUZZ_CHECK(same_text(ca[k].key, cb[k].key) && same_text(ca[k].value, cb[k].value),
                           input_hex);
            }
        }
        const auto ta = t.tags_of(a);
        const auto tb = r.tags_of(b);
        FUZZ_CHECK(ta.size() == tb.size(), input_hex);
        for (size_t k = 0; k < ta.size(); ++k) {
            FUZZ_CHECK(same_text(ta[k].key, tb[k].key) && same_text(ta[k].value, tb[k].value),
                       input_hex);
        }
    }
}

// Every text field of a batch; with `values`, the content values too.
template <class List, class Visit>
void for_each_text(const List& list, bool values, Visit&& visit) {
    for (const pb::LogGroup& group : list.log_groups) {
        for (const pb::OptionalText* o : {&group.topic, &group.source, &group.machine_uuid}) {
            if (o->present) visit(o->text);
        }
        for (const pb::LogTag& tag : list.tags_of(group)) {
            visit(tag.key);
            visit(tag.value);
        }
        for (const pb::Log& log : list.logs_of(group)) {
            for (const auto& content : list.contents_of(log)) {
                visit(content.key);
                if (values) visit(content.value);
            }
        }
    }
}

// JSON string in the writer's form: the minimal escape set, other bytes as they are.
void put_json_string(std::string& out, std::string_view s) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

struct FlatValue {
    bool number = false;
    uint32_t n = 0;
    std::string_view s;
};
using FlatRecord = std::map<std::string, FlatValue>;  // ascending byte order of keys

// The flat records, filled in the JSON path's order (later puts win): contents, time,
// topic, source, time_ns, tags.
std::vector<FlatRecord> flatten(const pb::LogGroupList& list) {
    std::vector<FlatRecord> records;
    for (const pb::LogGroup& group : list.log_groups) {
        for (const pb::Log& log : list.logs_of(group)) {
            FlatRecord r;
            for (const auto& c : list.contents_of(log)) r[std::string(c.key)] = {false, 0, c.value};
            r["__time__"] = {true, log.time, {}};
            if (group.topic.present) r["__topic__"] = {false, 0, group.topic.text};
            if (group.source.present) r["__source__"] = {false, 0, group.source.text};
            if (log.has_time_ns) r["__time_ns__"] = {true, log.time_ns, {}};
            for (const pb::LogTag& tag : list.tags_of(group)) {
                r["__tag__:" + std::string(tag.key)] = {false, 0, tag.value};
            }
            records.push_back(std::move(r));
        }
    }
    return records;
}

std::string expected_json(const std::vector<FlatRecord>& records) {
    std::string out = "[";
    for (size_t i = 0; i < records.size(); ++i) {
        if (i) out += ',';
        out += '{';
        bool first = true;
        for (const auto& [key, value] : records[i]) {
            if (!first) out += ',';
            first = false;
            put_json_string(out, key);
            out += ':';
            if (value.number)
                out += std::to_string(value.n);
            else
                put_json_string(out, value.s);
        }
        out += '}';
    }
    return out + "]";
}

// The written text parses strictly, has one object per log with ascending unique keys and
// a numeric "__time__", holds exactly the flattened records, and is byte for byte their
// minimal-escape form.
void check_json(std::string_view text, const pb::LogGroupList& list, const std::string& input_hex) {
    const std::string detail = input_hex + "\noutput: " + std::string(text.substr(0, 2048));
    Json doc;
    FUZZ_CHECK(parse_json(text, doc), detail);
    FUZZ_CHECK(doc.kind == Json::Kind::Array, detail);
    const std::vector<FlatRecord> records = flatten(list);
    FUZZ_CHECK(doc.items.size() == count_logs(list) && doc.items.size() == records.size(), detail);
    for (size_t i = 0; i < records.size(); ++i) {
        const Json& object = doc.items[i];
        FUZZ_CHECK(object.kind == Json::Kind::Object, detail);
        FUZZ_CHECK(object.keys.size() == records[i].size(), detail);
        bool has_time = false;
        auto expected = records[i].begin();
        for (size_t m = 0; m < object.keys.size(); ++m, ++expected) {
            const std::string& key = object.keys[m];
            const Json& value = object.items[m];
            FUZZ_CHECK(m == 0 || object.keys[m - 1] < key, detail);
            FUZZ_CHECK(key == expected->first, detail);
            if (expected->second.number) {
                FUZZ_CHECK(value.kind == Json::Kind::Number &&
                               value.text == std::to_string(expected->second.n),
                           detail);
            } else {
                FUZZ_CHECK(value.kind == Json::Kind::String && value.text == expected->second.s,
                           detail);
            }
            if (key == "__time__") has_time = value.kind == Json::Kind::Number;
        }
        FUZZ_CHECK(has_time, detail);
    }
    FUZZ_CHECK(text == expected_json(records), detail);
}

void append_utf8(std::string& utf8, uint32_t point) {
    if (point < 0x80) {
        utf8 += static_cast<char>(point);
        return;
    }
    const int length = point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
    utf8 += static_cast<char>((0xF00 >> length) | point >> (6 * (length - 1)));
    for (int k = length - 2; k >= 0; --k)
        utf8 += static_cast<char>(0x80 | (point >> (6 * k) & 0x3F));
}

// The writer's text as UTF-8: Latin-1 text widened byte by byte, UTF-16 and UCS-4 units
// encoded, else as it is.
std::string utf8_of(const log_parser::JsonText& json) {
    const std::string_view text = json.view();
    using Encoding = log_parser::JsonText::Encoding;
    if (json.encoding == Encoding::Ucs4 || json.encoding == Encoding::Utf16) {
        const size_t width = json.encoding == Encoding::Ucs4 ? 4 : 2;
        FUZZ_CHECK(text.size() % width == 0, "text of whole units");
        std::string utf8;
        for (size_t i = 0; i < text.size(); i += width) {
            uint32_t point = 0;
            if (width == 4) {
                std::memcpy(&point, text.data() + i, 4);
            } else {
                uint16_t unit;
                std::memcpy(&unit, text.data() + i, 2);
                point = unit;
            }
            FUZZ_CHECK(point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF), "unit");
            append_utf8(utf8, point);
        }
        return utf8;
    }
    if (json.encoding != Encoding::Latin1) return std::string(text);
    std::string utf8;
    for (char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | byte >> 6);
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

// The encoding chosen fits the characters: ASCII and Latin-1 only while every text of the
// batch allows them. (A text the input repeats and the batch no longer holds may also have
// ruled them out.)
void check_encoding(const log_parser::JsonText& json, std::string_view utf8,
                    const pb::LogGroupList& batch, const std::string& detail) {
    using Encoding = log_parser::JsonText::Encoding;
    uint32_t widest = 0;
    for (uint32_t point : code_points(utf8)) widest = point > widest ? point : widest;
    if (json.encoding == Encoding::Ascii) FUZZ_CHECK(widest < 0x80, detail);
    if (json.encoding == Encoding::Latin1) FUZZ_CHECK(widest < 0x100, detail);
    if (json.encoding == Encoding::Ucs4 || json.encoding == Encoding::Utf8Pieces) {
        FUZZ_CHECK(widest >= 0x10000, detail);
    }
    if (json.encoding == Encoding::Utf16) FUZZ_CHECK(widest >= 0x100 && widest < 0x10000, detail);
    uint32_t widest_text = 0;
    for_each_text(batch, true, [&](std::string_view s) {
        for (uint32_t point : code_points(s))
            widest_text = point > widest_text ? point : widest_text;
    });
    if (widest_text >= 0x80) FUZZ_CHECK(json.encoding != Encoding::Ascii, detail);
    if (widest_text >= 0x100) {
        FUZZ_CHECK(json.encoding == Encoding::Utf8 || json.encoding == Encoding::Utf8Pieces ||
                       json.encoding == Encoding::Utf16 || json.encoding == Encoding::Ucs4,
                   detail);
    }
}

}  // namespace

long check_decode(std::string_view input) {
    const std::string input_hex = "input (hex, first 512 bytes): " + hex_of(input);
    auto text = pb::LogGroupList::decode(input);
    auto raw = pb::LogGroupListRaw::decode(input);
    auto streamed = log_parser::logs_to_flat_json(input);

    // The streaming writer decodes exactly as the whole-batch decoder.
    FUZZ_CHECK(text.ok() == streamed.ok(), input_hex);

    if (raw.ok()) {
        for_each_text(raw.value(), false,
                      [&](std::string_view s) { FUZZ_CHECK(utf8_valid(s), input_hex); });
    } else {
        check_error(raw.error(), kRaw);
    }

    if (text.ok()) {
        FUZZ_CHECK(raw.ok(), input_hex);
        check_same_batch(text.value(), raw.value(), input_hex);
        for_each_text(text.value(), true,
                      [&](std::string_view s) { FUZZ_CHECK(utf8_valid(s), input_hex); });
        const auto whole = log_parser::pb_to_flat_json_str(text.value());
        const std::string whole_utf8 = utf8_of(whole);
        FUZZ_CHECK(whole_utf8 == utf8_of(streamed.value()), input_hex);
        check_encoding(whole, whole_utf8, text.value(), input_hex);
        check_json(whole_utf8, text.value(), input_hex);
        return static_cast<long>(count_logs(text.value()));
    }

    const pb::DecodeError& error = text.error();
    check_error(error, kText);
    FUZZ_CHECK(streamed.error().display() == error.display(), input_hex);
    const bool value_not_utf8 =
        error.display() ==
        std::string(kPrefix) +
            "Content.value: Log.contents: LogGroup.logs: LogGroupList.log_groups: " +
            std::string(kBadUtf8);
    if (raw.ok()) {
        // Only a content value can fail the text family and pass the raw one. (The value
        // that failed may have been replaced by a later occurrence of the field, so the
        // raw batch need not hold it.)
        FUZZ_CHECK(value_not_utf8, input_hex + "\n" + error.display());
    } else if (!value_not_utf8) {
        // Up to the first failure both families read the same bytes the same way.
        FUZZ_CHECK(raw.error().display() == raw_display_of(error),
                   input_hex + "\ntext: " + error.display() + "\nraw:  " + raw.error().display());
    }
    return -1;
}

}  // namespace fuzz
