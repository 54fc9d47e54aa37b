// The seed of each address index's hash. The daemon draws a fresh one from
// the system's random source for every index, so that nobody can choose
// addresses that pile up in one run of slots; a test or a benchmark may fix
// it, so that a run can be replayed.
#pragma once

#include <cstdint>

// The seed for a new index: the fixed one when there is one, else a fresh
// draw. Always odd.
uint64_t address_hash_seed();

// Every index made from now on is given `seed` (for tests and benchmarks; the
// daemon never calls this); 0 goes back to fresh draws.
void fix_address_hash_seed(uint64_t seed);
