// Fixes the address hash seed for a scope, so that a run that depends on where
// addresses land in an index can be replayed: the seed is VORLASK_TEST_SEED
// when that is set, else a fresh draw, and a failure within the scope names it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "hash_seed.h"

class HashSeedScope {
  public:
    HashSeedScope()
        : seed_(pick()),
          trace_(__FILE__, __LINE__,
                 "address hash seed " + std::to_string(seed_) +
                     " (VORLASK_TEST_SEED=" + std::to_string(seed_) + " replays it)") {
        fix_address_hash_seed(seed_);
    }
    ~HashSeedScope() { fix_address_hash_seed(0); }
    HashSeedScope(const HashSeedScope&) = delete;
    HashSeedScope& operator=(const HashSeedScope&) = delete;
    uint64_t seed() const { return seed_; }

  private:
    static uint64_t pick() {
        const char* given = getenv("VORLASK_TEST_SEED");
        if (given != nullptr && *given != '\0') {
            return strtoull(given, nullptr, 0);
        }
        std::random_device source;
        return (uint64_t{source()} << 32 | source()) | 1u;
    }

    uint64_t seed_;
    testing::ScopedTrace trace_;
};
