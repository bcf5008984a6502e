// The interpreter lock: a per-thread count of how deep this thread holds it through the
// module, and the release around work that touches no Python object.
#pragma once

#include <utility>

#include "../error/py_ref.hpp"

namespace morvex {

inline thread_local long lock_count = 0;

struct LockCount {
    LockCount() { ++lock_count; }
    ~LockCount() { --lock_count; }
    LockCount(const LockCount&) = delete;
    LockCount& operator=(const LockCount&) = delete;
};

// Runs `work` with the lock released. The lock is taken back on every path, a C++
// exception unwinding out of `work` included; `work` must not touch Python objects.
template <class Work>
auto without_lock(Work&& work) {
    struct Released {
        long saved_count = std::exchange(lock_count, 0);
        PyThreadState* state = PyEval_SaveThread();
        ~Released() {
            PyEval_RestoreThread(state);
            lock_count = saved_count;
        }
    } released;
    return work();
}

}  // namespace morvex
