#include "log_group.hpp"

#include "decoder.hpp"

namespace pb {

template <class Family>
morvex::Result<BasicLogGroupList<Family>, DecodeError> BasicLogGroupList<Family>::decode(
    std::string_view input) {
    BasicLogGroupList list;
    auto status = decode_groups(input, list, [](const auto&, const LogGroup&) {});
    if (!status) return morvex::fail(std::move(status.error()));
    return list;
}

template struct BasicLogGroupList<TextFamily>;
template struct BasicLogGroupList<RawFamily>;

}  // namespace pb
