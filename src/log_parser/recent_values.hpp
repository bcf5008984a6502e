// Content value objects made lately, found again by their bytes, so that a column of few
// distinct values (levels, methods, status codes, user agents) makes each of them once per
// call rather than each time it changes from one log to the next. A direct-mapped table: a
// lookup is one cheap hash and at most one comparison, and a new value simply takes its
// slot from whatever was there. The bytes viewed must outlive the table.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "../error/py_ref.hpp"
#include "../pb/bytes_equal.hpp"
#include "text_hash.hpp"

namespace log_parser {

class RecentValues {
  public:
    // Room for about `values` values, at most kMaxSlots: made before the first lookup, so
    // that calls that look nothing up (or few values) do not clear a large table.
    void prepare(size_t values) {
        slots_.resize(std::min(kMaxSlots, std::bit_ceil(std::max<size_t>(values, 16))));
        mask_ = slots_.size() - 1;
    }

    // The object kept for `bytes`, or null; `hash` is set to what keep() needs to put a new
    // one for these bytes in its place. prepare() must have been called.
    PyObject* find(std::string_view bytes, uint64_t& hash) {
        hash = hash_of(bytes);
        Slot& kept = slots_[hash & mask_];
        // The whole hash is compared first: the bytes of a different value met long ago
        // would most likely have to come from memory.
        if (kept.hash != hash || !kept.object || !pb::bytes_equal(kept.bytes, bytes)) {
            // The new value will take this slot: its object's count is decremented then,
            // once the new object is made; ask for it now.
            if (kept.object) __builtin_prefetch(kept.object.get(), 1);
            return nullptr;
        }
        // The next comparison reads these bytes, which were just read, rather than those of
        // the value's first appearance, which may have left the cache long ago.
        kept.bytes = bytes;
        return kept.object.get();
    }

    void keep(uint64_t hash, std::string_view bytes, PyObject* object) {
        slots_[hash & mask_] = {bytes, hash, morvex::PyRef::borrow(object)};
    }

  private:
    static constexpr size_t kMaxSlots = 1024;

    struct Slot {
        std::string_view bytes;
        uint64_t hash = 0;
        morvex::PyRef object;  // null for a free slot
    };

    // Only the size and the first, middle and last eight bytes count: values that differ
    // elsewhere hash alike, which costs a comparison and a new object, nothing more. The
    // middle word spreads request lines and paths with an id inside.
    static uint64_t hash_of(std::string_view bytes) {
        uint64_t h = ends_word(bytes);
        if (bytes.size() > 16) {
            uint64_t middle;
            std::memcpy(&middle, bytes.data() + bytes.size() / 2 - 4, 8);
            h ^= middle * 0xC2B2AE3D27D4EB4FULL;
        }
        return hash_mix(h);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
};

}  // namespace log_parser
