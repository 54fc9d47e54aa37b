#include "client_id.h"

#include <cstdint>

namespace {

constexpr size_t longest = 64;

// The length of the UTF-8 sequence that starts at `p` (at most `left` bytes
// remain), and its code point; 0 when it is not well formed: a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate or
// a code point past U+10FFFF.
size_t utf8_sequence(const unsigned char* p, size_t left, uint32_t& code) {
    const unsigned char lead = p[0];
    size_t length = 0;
    uint32_t least = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        least = 0x80;
        code = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        least = 0x800;
        code = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        least = 0x10000;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (length > left) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xc0u) != 0x80u) {
            return 0;
        }
        code = (code << 6) | (p[i] & 0x3fu);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
        return 0;
    }
    return length;
}

bool allowed(uint32_t code) {
    const bool control = code < 0x20 || (code >= 0x7f && code <= 0x9f);
    return !control && code != '/' && code != '+' && code != '#';
}

}  // namespace

bool client_id_valid(const char* text, size_t length) {
    if (text == nullptr || length == 0 || length > longest) {
        return false;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length;) {
        uint32_t code = 0;
        const size_t n = utf8_sequence(p + i, length - i, code);
        if (n == 0 || !allowed(code)) {
            return false;
        }
        i += n;
    }
    return true;
}
