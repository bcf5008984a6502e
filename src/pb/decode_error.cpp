#include "decode_error.hpp"

namespace pb {

DecodeError::DecodeError(std::string description)
    : detail_(std::make_unique<Detail>(Detail{std::move(description), {}})) {}

void DecodeError::push(const char* message, const char* field) {
    if (!detail_) detail_ = std::make_unique<Detail>();
    detail_->context.emplace_back(message, field);
}

const std::string& DecodeError::description() const {
    static const std::string empty;
    return detail_ ? detail_->description : empty;
}

std::string DecodeError::display() const {
    std::string text = "failed to decode Protobuf message: ";
    if (detail_) {
        for (const auto& [message, field] : detail_->context) {
            text += message;
            text += '.';
            text += field;
            text += ": ";
        }
        text += detail_->description;
    }
    return text;
}

}  // namespace pb
