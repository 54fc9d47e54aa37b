// The shared client-id rule, one table of ids and verdicts.
#include <gtest/gtest.h>

#include <string>

#include "client_id.h"

namespace {

struct Case {
    const char* name;
    std::string id;
    bool valid;
};

const Case cases[] = {
    {"plain", "ap-kitchen", true},
    {"two-byte letters", "caf\xc3\xa9-ap", true},
    {"three-byte", "\xe5\x8e\xa8\xe6\x88\xbf", true},
    {"four-byte", "ap-\xf0\x9f\x93\xa1", true},
    {"inner space", "ap one", true},
    {"highest code point", "\xf4\x8f\xbf\xbf", true},
    {"just above C1", "\xc2\xa0", true},
    {"64 bytes", std::string(64, 'a'), true},
    {"64 bytes ending in a character", std::string(62, 'a') + "\xc3\xa9", true},
    {"empty", "", false},
    {"65 bytes", std::string(65, 'a'), false},
    {"slash", "ap/1", false},
    {"plus", "ap+", false},
    {"hash", "#ap", false},
    {"NUL", std::string("ap\0x", 4), false},
    {"tab", "ap\t1", false},
    {"unit separator", "ap\x1f", false},
    {"DEL", "ap\x7f", false},
    {"C1 first", "ap\xc2\x80", false},
    {"C1 last", "ap\xc2\x9f", false},
    {"lone continuation", "ap\x80", false},
    {"Latin-1 byte", "caf\xe9", false},
    {"cut off two-byte", "caf\xc3", false},
    {"cut off four-byte", "ap\xf0\x9f\x93", false},
    {"bad continuation", "ap\xc3\x28", false},
    {"overlong slash", "ap\xc0\xaf", false},
    {"overlong three-byte", "\xe0\x80\xaf", false},
    {"overlong four-byte", "\xf0\x80\x80\xaf", false},
    {"surrogate half", "\xed\xa0\x80", false},
    {"above U+10FFFF", "\xf4\x90\x80\x80", false},
    {"lead byte F5", "\xf5\x80\x80\x80", false},
};

TEST(ClientId, FollowsTheRule) {
    for (const Case& c : cases) {
        EXPECT_EQ(client_id_valid(c.id.data(), c.id.size()), c.valid) << c.name;
    }
    EXPECT_FALSE(client_id_valid(nullptr, 3));
    // The length given is what counts, not a terminator.
    EXPECT_TRUE(client_id_valid("ap/1", 2));
}

}  // namespace
