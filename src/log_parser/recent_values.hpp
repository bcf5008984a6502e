// Content value objects made lately, found again by their bytes, so that a column of few
// distinct values (levels, methods, status codes, user agents) makes each of them once per
// call rather than each time it changes from one log to the next. A direct-mapped table: a
// lookup is one cheap hash and at most one comparison, and a new value simply takes its
// slot from whatever was there. The bytes viewed must outlive the table.
#pragma once

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
    RecentValues() : slots_(kSlots) {}

    // The object kept for `bytes`, or null; `slot` is set to where a new one for these
    // bytes goes.
    PyObject* find(std::string_view bytes, size_t& slot) {
        slot = slot_of(bytes);
        Slot& kept = slots_[slot];
        if (!kept.object || !pb::bytes_equal(kept.bytes, bytes)) return nullptr;
        // The next comparison reads these bytes, which were just read, rather than those of
        // the value's first appearance, which may have left the cache long ago.
        kept.bytes = bytes;
        return kept.object.get();
    }

    void keep(size_t slot, std::string_view bytes, PyObject* object) {
        slots_[slot] = {bytes, morvex::PyRef::borrow(object)};
    }

  private:
    static constexpr size_t kSlots = 1024;  // a power of two

    struct Slot {
        std::string_view bytes;
        morvex::PyRef object;  // null for a free slot
    };

    // Only the size and the first and last eight bytes count: values that differ only in
    // between share a slot, which costs a comparison and a new object, nothing more.
    static size_t slot_of(std::string_view bytes) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        const size_t size = bytes.size();
        uint64_t h = size;
        if (size != 0) h ^= tail_word(p, size) * 0x9E3779B97F4A7C15ULL;
        if (size > 8) {
            uint64_t head;
            std::memcpy(&head, p, 8);
            h ^= head;
        }
        return hash_mix(h) & (kSlots - 1);
    }

    std::vector<Slot> slots_;
};

}  // namespace log_parser
