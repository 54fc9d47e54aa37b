#include "client_id.h"

namespace {

// The number of bytes after a lead byte, or -1 for a byte no character starts with.
int continuation_count(unsigned char lead) {
    if (lead < 0x80)
        return 0;
    if (lead >= 0xc2 && lead <= 0xdf)
        return 1;
    if (lead >= 0xe0 && lead <= 0xef)
        return 2;
    if (lead >= 0xf0 && lead <= 0xf4)
        return 3;
    return -1;  // a continuation byte, an overlong two-byte lead, or above U+10FFFF
}

}  // namespace

bool client_id_valid(const char* text, size_t length) {
    if (text == nullptr || length == 0 || length > max_client_id_bytes)
        return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length) {
        const unsigned char lead = bytes[i];
        const int more = continuation_count(lead);
        if (more < 0)
            return false;
        if (more == 0) {
            if (lead < 0x20 || lead == 0x7f || lead == '/' || lead == '+' || lead == '#')
                return false;
            ++i;
            continue;
        }
        if (length - i <= static_cast<size_t>(more))
            return false;  // cut off inside a character
        unsigned long code = lead & (0x3f >> more);
        for (int k = 1; k <= more; ++k) {
            const unsigned char next = bytes[i + k];
            if ((next & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3f);
        }
        // Shortest form only, no surrogate halves, nothing past the last code point.
        static const unsigned long least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[more] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff)
            return false;
        if (code >= 0x80 && code <= 0x9f)
            return false;  // C1 control characters
        i += static_cast<size_t>(more) + 1;
    }
    return true;
}
