// The address index's removal (which moves later slots of a run back, also
// across the end of the slots) and its seed. Lookups and growth are covered
// through the probe table's index (probe_table_test.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "address_index.h"
#include "hash_seed_scope.h"

namespace {

// Slots holding positions in a vector of keys, as the candidates' ring does.
struct KeyAt {
    const std::vector<uint64_t>* keys;
    uint64_t operator()(uint32_t position) const { return (*keys)[position]; }
};
using Index = AddressIndex<PositionSlots<KeyAt>>;

// A key not in `taken` whose home slot is `home`.
uint64_t key_with_home(const Index& index, size_t home, const std::vector<uint64_t>& taken) {
    for (uint64_t key = 1;; ++key) {
        bool used = false;
        for (uint64_t t : taken) {
            used = used || t == key;
        }
        if (!used && index.home_of(key) == home) {
            return key;
        }
    }
}

TEST(AddressIndex, EraseMovesTheRunBackAcrossTheEnd) {
    const HashSeedScope seed;
    // In 16 slots: keys with the given homes placed in order, one erased; the
    // slot each key is in afterwards (-1 for the erased one).
    const struct {
        const char* what;
        std::vector<size_t> homes;
        size_t erased;
        std::vector<long> slots;
    } cases[] = {
        {"a run in the middle", {13, 13, 13}, 1, {13, -1, 14}},
        {"the run wraps; both later keys move back across the end", {15, 15, 0}, 0, {-1, 15, 0}},
        {"the wrapped key erased: the next one moves back", {15, 15, 0}, 1, {15, -1, 0}},
        {"a key at its home after the wrap stays", {14, 15, 15, 1}, 1, {14, -1, 15, 1}},
        {"keys whose home is past the hole, across the end, stay", {15, 0, 0}, 0, {-1, 0, 1}},
    };
    for (const auto& c : cases) {
        std::vector<uint64_t> keys;
        Index index(PositionSlots<KeyAt>{KeyAt{&keys}});
        index.reset(16);
        for (size_t home : c.homes) {
            keys.push_back(key_with_home(index, home, keys));
        }
        for (size_t i = 0; i < keys.size(); ++i) {
            index.place(keys[i], static_cast<uint32_t>(i));
        }
        index.erase(index.slot_of(keys[c.erased]));
        EXPECT_EQ(index.size(), keys.size() - 1) << c.what;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i == c.erased) {
                EXPECT_EQ(index.find(keys[i]), -1) << c.what;
                continue;
            }
            EXPECT_EQ(static_cast<long>(index.slot_of(keys[i])), c.slots[i])
                << c.what << ", key " << i;
            EXPECT_EQ(index.find(keys[i]), static_cast<long>(i)) << c.what << ", key " << i;
        }
    }
}

// Random places and erases in a small index, where runs wrap often; after
// each step every key is found exactly where it was placed, or not at all.
TEST(AddressIndex, RandomPlacesAndErasesKeepEveryKeyFindable) {
    const HashSeedScope seed;
    std::mt19937_64 random(seed.seed());
    const size_t pool = 48, most = 16;
    std::vector<uint64_t> keys;
    for (size_t i = 0; i < pool; ++i) {
        keys.push_back(random() >> 16);  // 48 bits, like an address
    }
    Index index(PositionSlots<KeyAt>{KeyAt{&keys}});
    index.reset(slot_count_for(most * 2));
    std::vector<bool> present(pool, false);
    size_t count = 0;
    for (int step = 0; step < 20000; ++step) {
        const size_t p = random() % pool;
        if (present[p]) {
            index.erase(index.slot_of(keys[p]));
            present[p] = false;
            --count;
        } else if (count < most) {
            index.place(keys[p], static_cast<uint32_t>(p));
            present[p] = true;
            ++count;
        }
        ASSERT_EQ(index.size(), count) << "step " << step;
        for (size_t i = 0; i < pool; ++i) {
            ASSERT_EQ(index.find(keys[i]), present[i] ? static_cast<long>(i) : -1)
                << "step " << step << ", key " << i;
        }
    }
}

TEST(AddressIndex, AFixedSeedPlacesKeysAlikeInEveryIndex) {
    fix_address_hash_seed(12345);
    AddressIndex<> a, b;
    fix_address_hash_seed(0);
    a.reset(1 << 16);
    b.reset(1 << 16);
    for (uint64_t key = 0; key < 64; ++key) {
        EXPECT_EQ(a.home_of(key), b.home_of(key)) << "key " << key;
    }
}

}  // namespace
