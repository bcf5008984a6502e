// What the processor running this code offers beyond the SSE2 the build assumes, for code
// chosen at run time.
#pragma once

#include <cstdlib>
#include <cstring>

// Marks a function compiled for SSSE3, to be called only where has_ssse3() holds.
#define MORVEX_SSSE3 __attribute__((target("ssse3")))

namespace pb {

#if defined(__x86_64__) || defined(__i386__)
// SSSE3: byte shuffles (pshufb), used for UTF-8 checks, JSON escaping and the rewriting of
// wide text. Setting MORVEX_NO_SSSE3 (to anything but "" or "0") makes the code take the
// roads of processors without it, so that they can be tested anywhere.
inline bool has_ssse3() {
    static const bool has = [] {
        const char* off = std::getenv("MORVEX_NO_SSSE3");
        if (off != nullptr && *off != '\0' && std::strcmp(off, "0") != 0) return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return has;
}
#else
inline bool has_ssse3() {
    return false;
}
#endif

}  // namespace pb
