// What a call works out once per shape (plans for logs' content keys, layouts for groups'
// keys, numbers for key sets), found again for later logs or groups of the same shape.
// A few entries are found by trying each in turn, which costs less than hashing the
// shape; beyond that, by the shape's hash, so batches that mix many shapes find theirs in
// a probe or two. A table holds at most kMax entries; its users then start it over empty,
// so batches of ever new shapes keep it bounded.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "text_hash.hpp"

namespace log_parser {

template <class Entry, size_t kMax>
class ShapeTable {
  public:
    // The entry that `fits` accepts, or null; `hash_of()` gives the shape's hash and is
    // called only when there are too many entries to try each.
    template <class Fits, class Hash>
    Entry* find(Fits&& fits, Hash&& hash_of) {
        if (count_ <= kTriedInTurn) {
            for (size_t i = 0; i < count_; ++i) {
                if (fits(*entries_[i])) return entries_[i].get();
            }
            return nullptr;
        }
        return find_by_hash(fits, hash_of());
    }

    // Out of line, so that the common case, a few entries tried in turn, stays small
    // enough to be inlined into the loops that look up shapes. Within kMaxProbes slots.
    template <class Fits>
    [[gnu::noinline]] Entry* find_by_hash(Fits& fits, uint64_t hash) {
        size_t i = hash & mask();
        for (size_t probes = 0; probes < kMaxProbes; ++probes, i = (i + 1) & mask()) {
            const Slot& slot = index_[i];
            if (!slot.entry) return nullptr;
            if (slot.hash == hash && fits(*slot.entry)) return slot.entry;
        }
        return nullptr;
    }

    bool full() const { return count_ == kMax; }

    // Forgets every entry. Entries are kept for reuse, their buffers with them, so
    // pointers to them stay valid but must no longer be taken for their old shapes.
    void clear() {
        count_ = 0;
        std::fill(index_.begin(), index_.end(), Slot{});
    }

    // An entry filed under `hash` for the caller to fill; the table must not be full. It
    // may be one kept from before the table started over, still holding an old shape.
    Entry& add(uint64_t hash) {
        assert(count_ < kMax);
        if (2 * (count_ + 1) > index_.size()) grow();
        if (count_ == entries_.size()) entries_.push_back(std::make_unique<Entry>());
        Entry* entry = entries_[count_++].get();
        place({hash, entry});
        return *entry;
    }

  private:
    static constexpr size_t kTriedInTurn = 16;

    struct Slot {
        uint64_t hash = 0;
        Entry* entry = nullptr;  // null for a free slot
    };

    size_t mask() const { return index_.size() - 1; }

    // Files `slot` within reach of its hash's slot, or leaves the entry unfiled (see
    // kMaxProbes): it serves the caller that made it, and is never found again.
    void place(Slot slot) {
        size_t i = slot.hash & mask();
        for (size_t probes = 0; probes < kMaxProbes; ++probes, i = (i + 1) & mask()) {
            if (!index_[i].entry) {
                index_[i] = slot;
                return;
            }
        }
    }

    // Doubles the index (at most half full, so probes stay short), filing every entry anew.
    void grow() {
        std::vector<Slot> old(index_.empty() ? 32 : 2 * index_.size());
        old.swap(index_);
        for (const Slot& slot : old) {
            if (slot.entry) place(slot);
        }
    }

    std::vector<Slot> index_;                      // a power of two in size
    std::vector<std::unique_ptr<Entry>> entries_;  // each made once, so entries never move
    size_t count_ = 0;                             // entries in use
};

}  // namespace log_parser
