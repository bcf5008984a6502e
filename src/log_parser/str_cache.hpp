// Objects made from keys, found again by the key's bytes: open addressing with linear
// probing, so a lookup costs one hash of a short text and mostly one comparison. Meant
// for the keys of one call; the bytes viewed must outlive the cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "../error/py_ref.hpp"
#include "../pb/bytes_equal.hpp"
#include "text_hash.hpp"

namespace log_parser {

class StrCache {
  public:
    // Beyond this many entries new keys are no longer kept.
    static constexpr size_t kMaxEntries = 4096;

    // The object kept for `bytes`, or null.
    PyObject* find(std::string_view bytes) const {
        if (slots_.empty()) return nullptr;
        const uint64_t hash = text_hash(bytes);
        size_t i = hash & mask();
        for (size_t probes = 0; probes < kMaxProbes; ++probes, i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (!slot.object) return nullptr;
            if (slot.hash == hash && pb::bytes_equal(slot.bytes, bytes)) return slot.object.get();
        }
        return nullptr;
    }

    // Keeps a reference to `object` for `bytes`, which must not be kept yet.
    void keep(std::string_view bytes, PyObject* object) {
        if (count_ == kMaxEntries) return;
        if (2 * (count_ + 1) > slots_.size()) grow();
        place({bytes, text_hash(bytes), morvex::PyRef::borrow(object)});
        ++count_;
    }

  private:
    struct Slot {
        std::string_view bytes;
        uint64_t hash = 0;
        morvex::PyRef object;  // null for a free slot
    };

    size_t mask() const { return slots_.size() - 1; }

    // Files `entry` within reach of its hash's slot, or drops it (see kMaxProbes).
    void place(Slot&& entry) {
        size_t i = entry.hash & mask();
        for (size_t probes = 0; probes < kMaxProbes; ++probes, i = (i + 1) & mask()) {
            if (!slots_[i].object) {
                slots_[i] = std::move(entry);
                return;
            }
        }
    }

    // Doubles the table (at most half full, so probes stay short), placing every entry anew.
    void grow() {
        std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size());
        old.swap(slots_);
        for (Slot& slot : old) {
            if (slot.object) place(std::move(slot));
        }
    }

    std::vector<Slot> slots_;  // a power of two in size
    size_t count_ = 0;
};

}  // namespace log_parser
