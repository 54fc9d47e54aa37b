// The probe report document: the exact text of the datagram for a station
// address, as json-c renders it by default (spaced, '/' escaped).
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdint>
#include <string>

#include "probe_report.h"

namespace {

std::string render(const uint8_t (&mac)[6]) {
    std::string text;
    EXPECT_TRUE(render_probe_report(mac, text));
    return text;
}

// The expected datagram around a MAC member as it appears on the wire.
std::string document(const std::string& wire_mac) {
    return "{ \"data\": { \"ver\": 1, \"wifi\": { \"MAC\": \"" + wire_mac +
           "\", \"RSSI\": -33 } } }";
}

TEST(ProbeReport, ExactTextForKnownAddresses) {
    // Base64 worked out by hand from the bit groups of each address.
    EXPECT_EQ(render({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}), document("ABEiM0RV"));
    EXPECT_EQ(render({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}), document("ABorPE1e"));
    EXPECT_EQ(render({0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), document("AAAAAAAA"));
    EXPECT_EQ(render({0xfb, 0xef, 0xbe, 0x00, 0x00, 0x00}), document("++++AAAA"));
    // json-c escapes '/' in strings by default, so all-ones goes out as
    // \/ eight times; the decoded value is still "////////".
    EXPECT_EQ(render({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), document("\\/\\/\\/\\/\\/\\/\\/\\/"));
}

TEST(ProbeReport, RssiIsFixedAndMacAlwaysEightCharacters) {
    for (int i = 0; i < 256; ++i) {
        const uint8_t b = static_cast<uint8_t>(i);
        const uint8_t mac[6] = {b,
                                static_cast<uint8_t>(b * 7),
                                static_cast<uint8_t>(~b),
                                static_cast<uint8_t>(b ^ 0x5a),
                                static_cast<uint8_t>(b + 1),
                                0xfc};
        std::string text;
        ASSERT_TRUE(render_probe_report(mac, text));
        json_object* top = json_tokener_parse(text.c_str());
        ASSERT_NE(top, nullptr) << text;
        json_object* data = json_object_object_get(top, "data");
        json_object* wifi = json_object_object_get(data, "wifi");
        EXPECT_EQ(json_object_object_length(top), 1);
        EXPECT_EQ(json_object_get_int(json_object_object_get(data, "ver")), 1);
        EXPECT_EQ(json_object_get_int(json_object_object_get(wifi, "RSSI")), -33);
        const char* m = json_object_get_string(json_object_object_get(wifi, "MAC"));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(std::string(m).size(), 8u) << text;
        EXPECT_EQ(std::string(m).find('='), std::string::npos);
        json_object_put(top);
    }
}

}  // namespace
