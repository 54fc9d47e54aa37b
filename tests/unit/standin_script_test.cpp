// Scenario scripts of the kernel stand-in: what a script line sends, and that
// every malformed line is refused with its line number before anything runs.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "datagram_source.h"
#include "scenario_script.h"

namespace {

using standin::ScriptStep;

bool parse(const std::string& text, std::vector<ScriptStep>& steps, std::string& error) {
    std::istringstream in(text);
    return standin::parse_script(in, steps, error);
}

TEST(StandinScript, ProbeAndRawLinesWithCommentsAndBlankLines) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(
        parse("# offset mac second rssi band freq repeat\n"
              "\n"
              "0.5 00:1A:2b:3c:4d:5e 11:22:33:44:55:66 -59 1 100   # trailing note\n"
              "   \t\n"
              "0.5 02:00:00:00:00:01 0a:0b:0c:0d:0e:0f 127 255 65535 4\n"
              "2 raw 1f 00 00 00 ff\n"
              "2.25 raw 00010203\n",
              steps, error))
        << error;
    ASSERT_EQ(steps.size(), 4u);

    EXPECT_DOUBLE_EQ(steps[0].offset, 0.5);
    EXPECT_FALSE(steps[0].raw);
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    const uint8_t second[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_EQ(memcmp(steps[0].probe.mac, mac, 6), 0);
    EXPECT_EQ(memcmp(steps[0].probe.second_mac, second, 6), 0);
    EXPECT_EQ(steps[0].probe.rssi, -59);
    EXPECT_EQ(steps[0].probe.band, 1);
    EXPECT_EQ(steps[0].probe.freq, 100);
    EXPECT_EQ(steps[0].repeat, 1u);

    EXPECT_EQ(steps[1].probe.rssi, 127);
    EXPECT_EQ(steps[1].probe.band, 255);
    EXPECT_EQ(steps[1].probe.freq, 65535);
    EXPECT_EQ(steps[1].repeat, 4u);

    EXPECT_TRUE(steps[2].raw);
    EXPECT_DOUBLE_EQ(steps[2].offset, 2.0);
    EXPECT_EQ(steps[2].bytes, (std::vector<uint8_t>{0x1f, 0, 0, 0, 0xff}));
    EXPECT_EQ(steps[3].bytes, (std::vector<uint8_t>{0, 1, 2, 3}));
}

TEST(StandinScript, EmptyScriptSendsNothing) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(parse("# only a comment\n\n", steps, error));
    EXPECT_TRUE(steps.empty());
    standin::ScriptSource source(steps);
    standin::Datagram d;
    EXPECT_FALSE(source.next(d));
}

struct BadLine {
    const char* script;
    const char* error;
};

class StandinScriptErrors : public ::testing::TestWithParam<BadLine> {};

TEST_P(StandinScriptErrors, NamesTheLineAndLeavesTheStepsAlone) {
    std::vector<ScriptStep> steps(1);
    steps[0].offset = 42;
    std::string error;
    EXPECT_FALSE(parse(GetParam().script, steps, error));
    EXPECT_EQ(error, GetParam().error);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].offset, 42);
}

constexpr const char* ok = "0 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 2412\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, StandinScriptErrors,
    ::testing::Values(
        BadLine{"x 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 2412\n",
                "line 1: bad offset \"x\" (expected seconds, e.g. 0.5)"},
        BadLine{"-1 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 2412\n",
                "line 1: bad offset \"-1\" (expected seconds, e.g. 0.5)"},
        BadLine{"0.5s 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 2412\n",
                "line 1: bad offset \"0.5s\" (expected seconds, e.g. 0.5)"},
        BadLine{"# c\n\n1.5\n", "line 3: nothing to send after the offset"},
        BadLine{"1 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 2412\n"
                "0.5 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 2412\n",
                "line 2: offset 0.5 is before the previous step's"},
        BadLine{"0 00:00:00:00:00:1 00:00:00:00:00:02 -1 1 2412\n",
                "line 1: bad MAC \"00:00:00:00:00:1\" (expected aa:bb:cc:dd:ee:ff)"},
        BadLine{"0 00-00-00-00-00-01 00:00:00:00:00:02 -1 1 2412\n",
                "line 1: bad MAC \"00-00-00-00-00-01\" (expected aa:bb:cc:dd:ee:ff)"},
        BadLine{"0 00:00:00:00:00:01 00:00:00:00:00:0g -1 1 2412\n",
                "line 1: bad SECOND_MAC \"00:00:00:00:00:0g\" (expected aa:bb:cc:dd:ee:ff)"},
        BadLine{"0 00:00:00:00:00:01 00:00:00:00:00:02 128 1 2412\n",
                "line 1: bad RSSI \"128\" (expected -128 to 127)"},
        BadLine{"0 00:00:00:00:00:01 00:00:00:00:00:02 -129 1 2412\n",
                "line 1: bad RSSI \"-129\" (expected -128 to 127)"},
        BadLine{"0 00:00:00:00:00:01 00:00:00:00:00:02 -1 256 2412\n",
                "line 1: bad BAND \"256\" (expected 0 to 255)"},
        BadLine{"0 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 65536\n",
                "line 1: bad FREQ \"65536\" (expected 0 to 65535)"},
        BadLine{"0 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 24x2\n",
                "line 1: bad FREQ \"24x2\" (expected 0 to 65535)"},
        BadLine{"0 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 2412 0\n",
                "line 1: bad REPEAT \"0\" (expected 1 to 100000000)"},
        BadLine{"0 00:00:00:00:00:01 00:00:00:00:00:02 -1 1\n",
                "line 1: expected OFFSET MAC SECOND_MAC RSSI BAND FREQ [REPEAT] or OFFSET raw "
                "HEXBYTES"},
        BadLine{"0 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 2412 2 9\n",
                "line 1: expected OFFSET MAC SECOND_MAC RSSI BAND FREQ [REPEAT] or OFFSET raw "
                "HEXBYTES"},
        BadLine{"0 raw\n", "line 1: raw datagram without bytes"},
        BadLine{"0 raw 1f0\n", "line 1: odd number of hex digits in raw datagram"},
        BadLine{"0 raw 1f 0z\n", "line 1: bad hex digit in raw datagram"}));

TEST(StandinScript, LaterErrorsCountEveryLine) {
    std::vector<ScriptStep> steps;
    std::string error;
    EXPECT_FALSE(parse(std::string(ok) + "# c\n" + ok + "\n0 raw zz\n", steps, error));
    EXPECT_EQ(error, "line 5: bad hex digit in raw datagram");
}

TEST(StandinScript, SourceRepeatsProbesWithRunningSequenceAndSendsRawAsWritten) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(
        parse("0.25 c0:ff:ee:00:00:01 0a:0b:0c:0d:0e:0f -59 1 100 3\n"
              "0.5 raw 0102030405\n"
              "1 c0:ff:ee:00:00:02 0a:0b:0c:0d:0e:0f 5 2 5180\n",
              steps, error));
    standin::ScriptSource source(steps);
    std::vector<std::vector<uint8_t>> sent;
    std::vector<double> at;
    standin::Datagram d;
    while (source.next(d)) {
        sent.emplace_back(d.data, d.data + d.length);
        at.push_back(d.at);
    }
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(at, (std::vector<double>{0.25, 0.25, 0.25, 0.5, 1}));
    EXPECT_EQ(sent[3], (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    // Header as the kernel module sends it: length 32, type 1025, flags 0,
    // sequence 1, 2, 3 then 4 (raw datagrams take no number), port id 0.
    const uint32_t expected_seq[] = {1, 2, 3, 0, 4};
    for (size_t i : {0u, 1u, 2u, 4u}) {
        ASSERT_EQ(sent[i].size(), 32u);
        uint32_t len, seq, pid;
        uint16_t type, flags;
        memcpy(&len, &sent[i][0], 4);
        memcpy(&type, &sent[i][4], 2);
        memcpy(&flags, &sent[i][6], 2);
        memcpy(&seq, &sent[i][8], 4);
        memcpy(&pid, &sent[i][12], 4);
        EXPECT_EQ(len, 32u);
        EXPECT_EQ(type, 1025);
        EXPECT_EQ(flags, 0);
        EXPECT_EQ(seq, expected_seq[i]);
        EXPECT_EQ(pid, 0u);
    }
    // Payload: mac, second_mac, rssi, band, freq in host order.
    const std::vector<uint8_t> payload(sent[0].begin() + 16, sent[0].end());
    EXPECT_EQ(payload, (std::vector<uint8_t>{0xc0, 0xff, 0xee, 0, 0, 1, 0x0a, 0x0b, 0x0c, 0x0d,
                                             0x0e, 0x0f, 0xC5, 0x01, 0x64, 0x00}));
    EXPECT_EQ(sent[4][21], 2);
    EXPECT_EQ(sent[4][28], 5);
    EXPECT_EQ(sent[4][29], 2);
    uint16_t freq;
    memcpy(&freq, &sent[4][30], 2);
    EXPECT_EQ(freq, 5180);
}

}  // namespace
