// A whole number given as an option's value, as every tool reads one.
#pragma once

#include <cstdint>

// Reads `text` as a decimal number from 0 to `max` into `out`: digits only,
// no sign, no blanks. Returns false, leaving `out` untouched, otherwise.
bool parse_unsigned(const char* text, uint64_t max, uint64_t& out);
