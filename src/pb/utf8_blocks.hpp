// Strict UTF-8 validation of long texts sixteen bytes at a time, where the processor
// allows it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pb::utf8 {

// True when the bytes are valid UTF-8; then `widest_lead` is the largest lead byte (0 for
// ASCII). False when they are not, or when this processor lacks the instructions: the
// caller then checks byte by byte, which also tells where the text breaks.
bool valid_blocks(const uint8_t* data, size_t size, uint8_t& widest_lead);

}  // namespace pb::utf8
