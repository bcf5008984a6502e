// The decoder's failure value: a description plus (message, field) context pairs,
// innermost first.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../error/result.hpp"

namespace pb {

class DecodeError {
  public:
    DecodeError() = default;
    explicit DecodeError(std::string description);

    // Records that the failure happened inside `field` of `message`; called while the
    // error travels outward.
    void push(const char* message, const char* field);

    const std::string& description() const;
    // "failed to decode Protobuf message: " then "{message}.{field}: " per pair, then
    // the description.
    std::string display() const;

  private:
    // Behind a pointer so that the success path of every decoding step moves one word.
    struct Detail {
        std::string description;
        std::vector<std::pair<const char*, const char*>> context;
    };
    std::unique_ptr<Detail> detail_;
};

using DecodeStatus = morvex::Status<DecodeError>;

}  // namespace pb
