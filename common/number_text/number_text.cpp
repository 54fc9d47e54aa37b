#include "number_text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The digits of [text, text + length) as one number; false past UINT64_MAX.
NumberRead read_digits(const char* text, size_t length, uint64_t& value) {
    if (length == 0) {
        return NumberRead::empty;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (!is_digit(text[i])) {
            return NumberRead::bad_character;
        }
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            return NumberRead::out_of_range;
        }
        v = v * 10 + digit;
    }
    value = v;
    return NumberRead::ok;
}

}  // namespace

NumberRead read_unsigned(const char* text, size_t length, const UnsignedForm& form, uint64_t& value,
                         uint64_t& multiplier) {
    uint64_t unit = 1;
    for (size_t i = 0; i < form.suffix_count && length > 0; ++i) {
        if (text[length - 1] == form.suffixes[i].letter) {
            unit = form.suffixes[i].multiplier;
            --length;
            break;
        }
    }
    if (form.max_digits != 0 && length > form.max_digits) {
        return NumberRead::too_long;
    }
    uint64_t v = 0;
    const NumberRead read = read_digits(text, length, v);
    if (read != NumberRead::ok) {
        return read;
    }
    if (v < form.min || v > form.max) {
        return NumberRead::out_of_range;
    }
    value = v;
    multiplier = unit;
    return NumberRead::ok;
}

NumberRead read_unsigned(const char* text, size_t length, const UnsignedForm& form,
                         uint64_t& value) {
    uint64_t unit = 1;
    return read_unsigned(text, length, form, value, unit);
}

NumberRead read_unsigned(const char* text, const UnsignedForm& form, uint64_t& value) {
    return read_unsigned(text, text == nullptr ? 0 : strlen(text), form, value);
}

NumberRead read_signed(const char* text, size_t length, const SignedForm& form, int64_t& value) {
    size_t start = 0;
    while (form.leading_blanks && start < length && is_blank(text[start])) {
        ++start;
    }
    bool negative = false;
    if (start < length && (text[start] == '+' || text[start] == '-')) {
        negative = text[start] == '-';
        ++start;
    }
    uint64_t magnitude = 0;
    const NumberRead read = read_digits(text + start, length - start, magnitude);
    if (read == NumberRead::empty) {
        // Blanks or a sign with no digits behind them.
        return start == 0 ? NumberRead::empty : NumberRead::bad_character;
    }
    if (read != NumberRead::ok) {
        return read;
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : uint64_t{INT64_MAX};
    if (magnitude > limit) {
        return NumberRead::out_of_range;
    }
    // Negated in unsigned arithmetic, so that INT64_MIN's magnitude fits.
    const int64_t v =
        negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    if (v < form.min || v > form.max) {
        return NumberRead::out_of_range;
    }
    value = v;
    return NumberRead::ok;
}

NumberRead read_signed(const char* text, const SignedForm& form, int64_t& value) {
    return read_signed(text, text == nullptr ? 0 : strlen(text), form, value);
}

NumberRead read_real(const char* text, const RealForm& form, double& value) {
    if (text == nullptr || *text == '\0') {
        return NumberRead::empty;
    }
    if (form.digit_first && !is_digit(*text) && *text != '.') {
        return NumberRead::bad_character;
    }
    const int saved = errno;
    errno = 0;
    char* end = nullptr;
    const double v = strtod(text, &end);
    const bool overflow = errno != 0;
    errno = saved;
    if (end == text || *end != '\0') {
        return NumberRead::bad_character;
    }
    if (overflow || !std::isfinite(v) || v < form.min || v > form.max) {
        return NumberRead::out_of_range;
    }
    value = v;
    return NumberRead::ok;
}
