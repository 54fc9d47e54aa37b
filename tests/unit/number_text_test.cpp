// The number reader every program shares: the forms its callers give it,
// their edges, and what it leaves alone when a text is refused.
#include "number_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <string>

namespace {

const char* name(NumberRead r) {
    switch (r) {
        case NumberRead::ok:
            return "ok";
        case NumberRead::empty:
            return "empty";
        case NumberRead::bad_character:
            return "bad_character";
        case NumberRead::too_long:
            return "too_long";
        case NumberRead::out_of_range:
            return "out_of_range";
    }
    return "?";
}

// One text, the form it is read in, and what comes of it.
template <typename Form, typename Value>
struct Case {
    const char* text;
    const Form& form;
    NumberRead read;
    Value value;
};

// Runs `read` over each case: the result, and the value (7 where refused:
// left untouched).
template <typename Row, size_t N, typename Read>
void check_cases(const Row (&cases)[N], Read read) {
    for (const Row& c : cases) {
        decltype(c.value) value = 7;
        EXPECT_STREQ(name(read(c, value)), name(c.read)) << '"' << c.text << '"';
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

const NumberSuffix units[] = {{'k', 1024}, {'K', 1024}, {'M', 1024 * 1024}};
const UnsignedForm any{};
const UnsignedForm port{1, 65535};
const UnsignedForm span{1, 604800, 9};
const UnsignedForm sized{1, 1ul << 30, 10, units, 3};

TEST(NumberText, ReadsUnsignedNumbers) {
    struct UnsignedCase {
        std::string text;
        const UnsignedForm& form;
        NumberRead read;
        uint64_t value, multiplier;
    };
    const UnsignedCase cases[] = {
        {"0", any, NumberRead::ok, 0, 1},
        {"18446744073709551615", any, NumberRead::ok, UINT64_MAX, 1},
        {"18446744073709551616", any, NumberRead::out_of_range, 7, 7},
        {"", any, NumberRead::empty, 7, 7},
        {"+1", any, NumberRead::bad_character, 7, 7},
        {"-1", any, NumberRead::bad_character, 7, 7},
        {" 1", any, NumberRead::bad_character, 7, 7},
        {"1 ", any, NumberRead::bad_character, 7, 7},
        {"0x10", any, NumberRead::bad_character, 7, 7},
        {std::string("5\0", 2), any, NumberRead::bad_character, 7, 7},
        {"0", port, NumberRead::out_of_range, 7, 7},
        {"65535", port, NumberRead::ok, 65535, 1},
        {"65536", port, NumberRead::out_of_range, 7, 7},
        {"1K", port, NumberRead::bad_character, 7, 7},
        {"000000001", span, NumberRead::ok, 1, 1},
        {"0000000001", span, NumberRead::too_long, 7, 7},
        {"604801", span, NumberRead::out_of_range, 7, 7},
        {"64K", sized, NumberRead::ok, 64, 1024},
        {"64k", sized, NumberRead::ok, 64, 1024},
        {"1M", sized, NumberRead::ok, 1, 1024 * 1024},
        {"1073741824M", sized, NumberRead::ok, 1073741824, 1024 * 1024},
        {"1073741825", sized, NumberRead::out_of_range, 7, 7},
        {"01073741824K", sized, NumberRead::too_long, 7, 7},
        {"1m", sized, NumberRead::bad_character, 7, 7},
        {"1KK", sized, NumberRead::bad_character, 7, 7},
        {"K1", sized, NumberRead::bad_character, 7, 7},
        {"K", sized, NumberRead::empty, 7, 7},
    };
    check_cases(cases, [](const UnsignedCase& c, uint64_t& value) {
        uint64_t multiplier = 7;
        const NumberRead read =
            read_unsigned(c.text.data(), c.text.size(), c.form, value, multiplier);
        EXPECT_EQ(multiplier, c.multiplier) << '"' << c.text << '"';
        return read;
    });
    uint64_t value = 7;
    EXPECT_EQ(read_unsigned(nullptr, any, value), NumberRead::empty);
    EXPECT_EQ(read_unsigned("12", any, value), NumberRead::ok);
    EXPECT_EQ(value, 12u);
    // A text ends at its length, whatever follows it.
    EXPECT_EQ(read_unsigned("123", 2, any, value), NumberRead::ok);
    EXPECT_EQ(value, 12u);
}

TEST(NumberText, ReadsSignedNumbers) {
    const SignedForm rssi{-128, 127};
    const SignedForm wide{INT64_MIN, INT64_MAX};
    const SignedForm blanks{INT64_MIN, INT64_MAX, true};
    using SignedCase = Case<SignedForm, int64_t>;
    const SignedCase cases[] = {
        {"-128", rssi, NumberRead::ok, -128},
        {"+127", rssi, NumberRead::ok, 127},
        {"-0", rssi, NumberRead::ok, 0},
        {"-129", rssi, NumberRead::out_of_range, 7},
        {"128", rssi, NumberRead::out_of_range, 7},
        {"-9223372036854775808", wide, NumberRead::ok, INT64_MIN},
        {"9223372036854775807", wide, NumberRead::ok, INT64_MAX},
        {"9223372036854775808", wide, NumberRead::out_of_range, 7},
        {"-9223372036854775809", wide, NumberRead::out_of_range, 7},
        {"", wide, NumberRead::empty, 7},
        {"-", wide, NumberRead::bad_character, 7},
        {"--5", wide, NumberRead::bad_character, 7},
        {"1e3", wide, NumberRead::bad_character, 7},
        {" 5", wide, NumberRead::bad_character, 7},
        {" \t\n-5", blanks, NumberRead::ok, -5},
        {"5 ", blanks, NumberRead::bad_character, 7},
        {"- 5", blanks, NumberRead::bad_character, 7},
        {"  ", blanks, NumberRead::bad_character, 7},
    };
    check_cases(cases, [](const SignedCase& c, int64_t& value) {
        return read_signed(c.text, c.form, value);
    });
    int64_t value = 7;
    EXPECT_EQ(read_signed(nullptr, wide, value), NumberRead::empty);
}

TEST(NumberText, ReadsRealNumbers) {
    const RealForm seconds{0, DBL_MAX};
    const RealForm offset{0, DBL_MAX, true};
    using RealCase = Case<RealForm, double>;
    const RealCase cases[] = {
        {"0.5", seconds, NumberRead::ok, 0.5},
        {"1e3", seconds, NumberRead::ok, 1000},
        {"0x10", seconds, NumberRead::ok, 16},
        {" +5", seconds, NumberRead::ok, 5},
        {"-0", seconds, NumberRead::ok, 0},
        {"-1", seconds, NumberRead::out_of_range, 7},
        {"inf", seconds, NumberRead::out_of_range, 7},
        {"nan", seconds, NumberRead::out_of_range, 7},
        {"1e400", seconds, NumberRead::out_of_range, 7},
        {"", seconds, NumberRead::empty, 7},
        {"5s", seconds, NumberRead::bad_character, 7},
        {"e5", seconds, NumberRead::bad_character, 7},
        {".5", offset, NumberRead::ok, 0.5},
        {"0x1p3", offset, NumberRead::ok, 8},
        {" 5", offset, NumberRead::bad_character, 7},
        {"+5", offset, NumberRead::bad_character, 7},
        {".", offset, NumberRead::bad_character, 7},
    };
    check_cases(cases, [](const RealCase& c, double& value) {
        errno = 42;
        const NumberRead read = read_real(c.text, c.form, value);
        EXPECT_EQ(errno, 42) << '"' << c.text << '"';
        return read;
    });
    // The caller's bounds hold at both ends.
    double value = 7;
    EXPECT_EQ(read_real("2.5", RealForm{1, 2}, value), NumberRead::out_of_range);
    EXPECT_EQ(read_real("0.5", RealForm{1, 2}, value), NumberRead::out_of_range);
    EXPECT_EQ(read_real("2", RealForm{1, 2}, value), NumberRead::ok);
    EXPECT_EQ(value, 2);
    EXPECT_TRUE(read_real("-0", seconds, value) == NumberRead::ok && std::signbit(value));
}

}  // namespace
