// An address as a 64-bit key, and the hash that places it in an
// open-addressing index: a splitmix64 finaliser over the key mixed with a
// per-process seed, so that chosen addresses cannot pile up in one run of
// slots.
#pragma once

#include <cstdint>
#include <cstring>

inline uint64_t address_key(const uint8_t* mac) {
    uint64_t key = 0;
    memcpy(&key, mac, 6);
    return key;
}

inline uint64_t seeded_key_hash(uint64_t key, uint64_t seed) {
    uint64_t z = key ^ (seed * 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}
