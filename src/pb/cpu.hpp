// What the processor running this code offers beyond the SSE2 the build assumes, for code
// chosen at run time.
#pragma once

// Marks a function compiled for SSSE3, to be called only where has_ssse3() holds.
#define MORVEX_SSSE3 __attribute__((target("ssse3")))

namespace pb {

#if defined(__x86_64__) || defined(__i386__)
// SSSE3: byte shuffles (pshufb), used for UTF-8 checks and JSON escaping of long texts.
inline bool has_ssse3() {
    static const bool has = [] {
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
