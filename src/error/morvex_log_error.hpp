// The system's own error value. Its one variant wraps a decoder failure; making and
// formatting it needs no interpreter, so it can happen with the interpreter lock released.
#pragma once

#include <string>
#include <utility>

#include "../pb/decode_error.hpp"

namespace morvex {

struct MorvexLogError {
    enum class Kind { Decode };

    static MorvexLogError Decode(pb::DecodeError error) { return {Kind::Decode, std::move(error)}; }

    // The display text of the wrapped DecodeError.
    std::string display() const { return decode.display(); }

    Kind kind;
    pb::DecodeError decode;
};

}  // namespace morvex
