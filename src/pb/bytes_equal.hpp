// Equality of short byte strings without a library call: keys are compared once per log.
// Always inlined: the compiler's own choice for the writer flips with unrelated changes
// elsewhere in its file, and a call per key comparison costs the JSON paths several percent.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace pb {

[[gnu::always_inline]] inline bool bytes_equal(std::string_view a, std::string_view b) {
    const size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    if (n >= 8) {
        uint64_t x, y;
        for (size_t i = 0; i + 8 <= n; i += 8) {
            std::memcpy(&x, p + i, 8);
            std::memcpy(&y, q + i, 8);
            if (x != y) return false;
        }
        // The last eight bytes, overlapping what was compared already.
        std::memcpy(&x, p + n - 8, 8);
        std::memcpy(&y, q + n - 8, 8);
        return x == y;
    }
    if (n >= 4) {
        uint32_t x, y, x_last, y_last;
        std::memcpy(&x, p, 4);
        std::memcpy(&y, q, 4);
        std::memcpy(&x_last, p + n - 4, 4);
        std::memcpy(&y_last, q + n - 4, 4);
        return ((x ^ y) | (x_last ^ y_last)) == 0;
    }
    if (n == 0) return true;
    // One to three bytes: the first, middle and last byte cover them all.
    return ((p[0] ^ q[0]) | (p[n / 2] ^ q[n / 2]) | (p[n - 1] ^ q[n - 1])) == 0;
}

}  // namespace pb
