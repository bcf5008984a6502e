// Decodes arbitrary bytes as a log batch with both record families and writes the flat
// JSON text; see check_batch.hpp for the invariants.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check_batch.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::check_decode({reinterpret_cast<const char*>(data), size});
    return 0;
}
