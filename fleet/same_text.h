// Equality of two short texts (keys, addresses, access point ids) without a
// call into the C library: lengths first, then the bytes as two words that
// together cover them (overlapping when the text is shorter than both),
// never reading past either end. Longer texts go to memcmp.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace fleet {

namespace same_text_detail {

template <typename Word>
inline Word load(const char* p) {
    Word w;
    memcpy(&w, p, sizeof w);
    return w;
}

}  // namespace same_text_detail

inline bool same_text(std::string_view a, std::string_view b) {
    using same_text_detail::load;
    const size_t n = a.size();
    if (n != b.size()) {
        return false;
    }
    const char* x = a.data();
    const char* y = b.data();
    if (n > 32) {
        return memcmp(x, y, n) == 0;
    }
    if (n > 16) {
        return load<uint64_t>(x) == load<uint64_t>(y) &&
               load<uint64_t>(x + 8) == load<uint64_t>(y + 8) &&
               load<uint64_t>(x + n - 16) == load<uint64_t>(y + n - 16) &&
               load<uint64_t>(x + n - 8) == load<uint64_t>(y + n - 8);
    }
    if (n >= 8) {
        return load<uint64_t>(x) == load<uint64_t>(y) &&
               load<uint64_t>(x + n - 8) == load<uint64_t>(y + n - 8);
    }
    if (n >= 4) {
        return load<uint32_t>(x) == load<uint32_t>(y) &&
               load<uint32_t>(x + n - 4) == load<uint32_t>(y + n - 4);
    }
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace fleet
