// The open-addressing table that finds a station address's position in the
// caller's storage (the probe table's entries, the persistent rule's stations
// and candidates). Slots are probed linearly from a home slot chosen by a hash
// keyed per index (see hash_seed.h), so that chosen addresses cannot pile up in
// one run of slots; at no more than half full a lookup usually reads one slot.
// A removal moves later slots of its run back, so lookups never need markers
// of removed entries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "hash_seed.h"

// An address as a 64-bit key. No address has all 64 bits set.
inline uint64_t address_key(const uint8_t* mac) {
    uint64_t key = 0;
    memcpy(&key, mac, 6);
    return key;
}

// A splitmix64 finaliser over the key mixed with the index's seed.
inline uint64_t seeded_key_hash(uint64_t key, uint64_t seed) {
    uint64_t z = key ^ (seed * 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// The smallest power of two of at least `least` slots, and at least 16.
size_t slot_count_for(size_t least);

// Slots holding the address beside its position: a lookup reads the slot
// alone.
struct AddressSlots {
    struct Slot {
        uint64_t key;  // the address, or empty_key
        uint32_t position;
    };
    static constexpr uint64_t empty_key = ~0ull;
    static Slot empty() { return Slot{empty_key, 0}; }
    static bool is_empty(const Slot& slot) { return slot.key == empty_key; }
    static uint64_t key_of(const Slot& slot) { return slot.key; }
    static uint32_t position_of(const Slot& slot) { return slot.position; }
    static Slot make(uint64_t key, uint32_t position) { return Slot{key, position}; }
};

// Slots holding the position alone, for storage that holds the address
// already: `KeyAt` gives the address at a position (4 bytes a slot, not 16).
template <class KeyAt>
struct PositionSlots {
    using Slot = uint32_t;
    KeyAt key_at;
    static Slot empty() { return ~0u; }
    static bool is_empty(Slot slot) { return slot == ~0u; }
    uint64_t key_of(Slot slot) const { return key_at(slot); }
    static uint32_t position_of(Slot slot) { return slot; }
    static Slot make(uint64_t /*key*/, uint32_t position) { return position; }
};

template <class Layout = AddressSlots>
class AddressIndex {
  public:
    using Slot = typename Layout::Slot;

    explicit AddressIndex(Layout layout = Layout{}) : layout_(layout), seed_(address_hash_seed()) {}

    // Position of `key`, or -1 when it is not in the index.
    long find(uint64_t key) const {
        if (size_ == 0) {
            return -1;
        }
        const Slot& slot = slots_[slot_of(key)];
        return Layout::is_empty(slot) ? -1 : static_cast<long>(Layout::position_of(slot));
    }

    // Slot of `key`, or the empty slot where it would go. The index must
    // have slots.
    size_t slot_of(uint64_t key) const {
        size_t i = home_of(key);
        while (!Layout::is_empty(slots_[i]) && layout_.key_of(slots_[i]) != key) {
            i = (i + 1) & mask_;
        }
        return i;
    }
    bool occupied(size_t i) const { return !Layout::is_empty(slots_[i]); }
    // Position recorded in the occupied slot `i`.
    uint32_t position_at(size_t i) const { return Layout::position_of(slots_[i]); }
    size_t home_of(uint64_t key) const {
        return static_cast<size_t>(seeded_key_hash(key, seed_)) & mask_;
    }

    // Records `key` at `position` (replacing the position it had); when that
    // would make the index more than half full, the slots are doubled and
    // every address placed again first.
    void insert(uint64_t key, uint32_t position) {
        if ((size_ + 1) * 2 > slots_.size()) {
            grow();
        }
        place(key, position);
    }
    // insert without growing: the caller made room (reset) for every address.
    void place(uint64_t key, uint32_t position) {
        const size_t i = slot_of(key);
        if (Layout::is_empty(slots_[i])) {
            ++size_;
        }
        slots_[i] = layout_.make(key, position);
    }

    // Removes the address in slot `i` and moves later slots of its run back.
    void erase(size_t i) {
        size_t hole = i;
        for (size_t j = (hole + 1) & mask_; !Layout::is_empty(slots_[j]); j = (j + 1) & mask_) {
            const size_t home = home_of(layout_.key_of(slots_[j]));
            // The slot at j may fill the hole when its home is not cyclically
            // in (hole, j].
            const bool home_in_between =
                hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (!home_in_between) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = Layout::empty();
        --size_;
    }

    // Empties the index and gives it `slots` slots (a power of two), reusing
    // the storage when the count stays.
    void reset(size_t slots) {
        if (slots == slots_.size()) {
            std::fill(slots_.begin(), slots_.end(), Layout::empty());
        } else {
            std::vector<Slot>(slots, Layout::empty()).swap(slots_);
        }
        mask_ = slots - 1;
        size_ = 0;
    }
    // Empties the index for `n` addresses to be placed. The slots are kept
    // unless most of them would stand empty or they are too few: a table
    // that filled once is likely to fill again.
    void reset_for(size_t n) {
        const size_t slots = slot_count_for(n * 2 + 2);
        reset(slots_.size() > slots * 4 || slots_.size() < slots ? slots : slots_.size());
    }
    // Empties the index and frees its slots.
    void clear() {
        std::vector<Slot>().swap(slots_);
        mask_ = 0;
        size_ = 0;
    }

    size_t size() const { return size_; }
    size_t slot_count() const { return slots_.size(); }
    // Starts loading the slot where `key` would be, ahead of its lookup.
    void prefetch(uint64_t key) const {
        if (size_ != 0) {
            __builtin_prefetch(&slots_[home_of(key)]);
        }
    }

  private:
    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        reset(slot_count_for(old.size() * 2));
        for (const Slot& slot : old) {
            if (!Layout::is_empty(slot)) {
                place(layout_.key_of(slot), Layout::position_of(slot));
            }
        }
    }

    Layout layout_;
    uint64_t seed_;
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
};
