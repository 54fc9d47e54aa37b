// The wire format of the kernel channel: probe datagrams in, registration out.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "probe_record.h"

namespace {

std::vector<uint8_t> datagram(size_t length) {
    std::vector<uint8_t> d(length);
    for (size_t i = 0; i < length; ++i) {
        d[i] = static_cast<uint8_t>(0xa0 + i);
    }
    return d;
}

TEST(ProbeDatagram, ShorterThanOneMessageGivesNoRecord) {
    ProbeRecord r{};
    r.band = 77;
    std::vector<uint8_t> d = datagram(31);
    EXPECT_FALSE(decode_probe_datagram(d.data(), d.size(), r));
    EXPECT_EQ(r.band, 77);
    EXPECT_FALSE(decode_probe_datagram(d.data(), 0, r));
}

TEST(ProbeDatagram, FieldsComeFromTheirWireOffsets) {
    std::vector<uint8_t> d(32, 0);
    const uint8_t payload[16] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x11, 0x22,
                                 0x33, 0x44, 0x55, 0x66, 0xc5, 0x01, 0x64, 0x00};
    memcpy(d.data() + 16, payload, 16);
    ProbeRecord r{};
    ASSERT_TRUE(decode_probe_datagram(d.data(), d.size(), r));
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    const uint8_t second[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_EQ(memcmp(r.mac, mac, 6), 0);
    EXPECT_EQ(memcmp(r.second_mac, second, 6), 0);
    EXPECT_EQ(r.rssi, -59);
    EXPECT_EQ(r.band, 1);
    EXPECT_EQ(r.freq, 100);
}

TEST(ProbeDatagram, HeaderAndTrailingBytesDoNotMatter) {
    // 64 bytes holding two messages: only the first one is decoded, and no
    // header field is looked at.
    std::vector<uint8_t> d = datagram(64);
    ProbeRecord r{};
    ASSERT_TRUE(decode_probe_datagram(d.data(), d.size(), r));
    EXPECT_EQ(r.mac[0], 0xb0);
    EXPECT_EQ(r.second_mac[5], 0xbb);
    EXPECT_EQ(r.rssi, static_cast<int8_t>(0xbc));
    EXPECT_EQ(r.band, 0xbd);
    uint16_t freq;
    memcpy(&freq, d.data() + 30, 2);
    EXPECT_EQ(r.freq, freq);
}

TEST(ProbeDatagram, DecodesFromAnUnalignedBuffer) {
    std::vector<uint8_t> storage(40, 0);
    uint8_t* d = storage.data() + 1;
    d[30] = 0x6c;
    d[31] = 0x09;  // 2412 little-endian
    ProbeRecord r{};
    ASSERT_TRUE(decode_probe_datagram(d, 32, r));
    EXPECT_EQ(r.freq, 2412);
}

TEST(Registration, IsExactlyThirtyTwoBytes) {
    uint8_t buf[64];
    memset(buf, 0xee, sizeof buf);
    memset(buf, 0, 40);
    ASSERT_EQ(build_registration(buf, 1), 32u);
    const uint8_t expected[32] = {32,  0,   0,   0,   0x00, 0x04, 0x0b, 0x03, 1,    0,   0,
                                  0,   0,   0,   0,   0,    15,   0,    0xd2, 0x04, 'H', 'e',
                                  'l', 'l', 'o', 'K', 'e',  'r',  'n',  'e',  'l',  0};
    EXPECT_EQ(memcmp(buf, expected, 32), 0);
}

}  // namespace
