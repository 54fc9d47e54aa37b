// Numbers written as text, as every program reads its configuration values
// and options: each caller gives the range, the suffixes and the form it
// takes, and words its own error from the result.
//
// Plain functions over a pointer and a length (or a C string): nothing here
// throws, allocates or changes errno, so a preload library built without the
// C++ run-time links it too.
#pragma once

#include <cstddef>
#include <cstdint>

enum class NumberRead {
    ok,
    empty,          // no digits at all
    bad_character,  // a sign, blank or other character the form does not take
    too_long,       // more digits than the form allows
    out_of_range,   // outside the caller's range, or beyond the type's
};

// A letter written after the digits and the multiplier it stands for, such
// as {'K', 1024}.
struct NumberSuffix {
    char letter;
    uint64_t multiplier;
};

// A whole number without sign or blank: digits 0-9 only, then at most one of
// `suffixes` (matched as written, case included).
struct UnsignedForm {
    uint64_t min = 0;
    uint64_t max = UINT64_MAX;
    size_t max_digits = 0;  // 0: any count of digits
    const NumberSuffix* suffixes = nullptr;
    size_t suffix_count = 0;
};

// Reads the `length` characters at `text` as `form` says. The range and the
// digit count apply to the digits as written; `multiplier` is that of the
// suffix given, or 1, for the caller to apply in the type it stores. On any
// result but ok, `value` and `multiplier` are left untouched.
NumberRead read_unsigned(const char* text, size_t length, const UnsignedForm& form, uint64_t& value,
                         uint64_t& multiplier);
// The same for a form without suffixes.
NumberRead read_unsigned(const char* text, size_t length, const UnsignedForm& form,
                         uint64_t& value);
// The same for a C string, or nullptr (empty).
NumberRead read_unsigned(const char* text, const UnsignedForm& form, uint64_t& value);

// A whole number with an optional sign ('+' or '-') before its digits,
// from `min` to `max`.
struct SignedForm {
    int64_t min = INT64_MIN;
    int64_t max = INT64_MAX;
    bool leading_blanks = false;  // blanks (space, \t \n \v \f \r) before the sign are skipped
};

NumberRead read_signed(const char* text, size_t length, const SignedForm& form, int64_t& value);
// The same for a C string, or nullptr (empty).
NumberRead read_signed(const char* text, const SignedForm& form, int64_t& value);

// A real number as the C library's strtod reads it (decimal or hexadecimal,
// with exponent; leading blanks and a sign unless `digit_first`), finite,
// from `min` to `max`.
struct RealForm {
    double min;
    double max;
    bool digit_first = false;  // the text starts with a digit or '.'
};

// Reads the whole C string `text`; errno is as it was before the call.
NumberRead read_real(const char* text, const RealForm& form, double& value);
