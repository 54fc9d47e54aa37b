#include "hash_seed.h"

#include <atomic>
#include <random>

namespace {

std::atomic<uint64_t> fixed_seed{0};

}  // namespace

uint64_t address_hash_seed() {
    const uint64_t fixed = fixed_seed.load(std::memory_order_relaxed);
    return (fixed != 0 ? fixed : std::random_device{}()) | 1ull;
}

void fix_address_hash_seed(uint64_t seed) {
    fixed_seed.store(seed, std::memory_order_relaxed);
}
