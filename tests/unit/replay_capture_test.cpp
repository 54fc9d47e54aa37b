// The capture replay tool's reading of a capture: probe requests through the
// module's frame parser, their timing, and the stand-in script lines.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "replay_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Radiotap header with channel and signal (as simulated radios give it),
// then a management frame with frame control `fc` from transmitter `ta`.
Bytes radio_frame(uint16_t fc, uint8_t last_ta_byte, uint16_t freq, int8_t dbm) {
    Bytes f = {0,
               0,
               13,
               0,
               0x28,
               0,
               0,
               0,  // version, pad, length 13, channel + signal
               static_cast<uint8_t>(freq & 0xff),
               static_cast<uint8_t>(freq >> 8),
               0x40,
               0x01,
               static_cast<uint8_t>(dbm)};
    Bytes mgmt = {static_cast<uint8_t>(fc & 0xff), static_cast<uint8_t>(fc >> 8), 0, 0};
    for (int i = 0; i < 6; ++i)
        mgmt.push_back(0xff);  // receiver
    for (uint8_t b : {0x00, 0x16, 0x3e, 0x00, 0x00})
        mgmt.push_back(b);
    mgmt.push_back(last_ta_byte);  // transmitter
    for (int i = 0; i < 6; ++i)
        mgmt.push_back(0xff);  // BSSID
    mgmt.push_back(0);
    mgmt.push_back(0);
    f.insert(f.end(), mgmt.begin(), mgmt.end());
    return f;
}

class ReplayCapture : public ::testing::Test {
  protected:
    std::string path;
    void SetUp() override {
        char name[] = "/tmp/vorlask-replay-test.XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
    }
    void TearDown() override { unlink(path.c_str()); }

    void write(int linktype, const std::vector<std::pair<double, Bytes>>& frames) {
        pcap_t* dead = pcap_open_dead(linktype, 65535);
        ASSERT_NE(dead, nullptr);
        pcap_dumper_t* out = pcap_dump_open(dead, path.c_str());
        ASSERT_NE(out, nullptr);
        for (const auto& [t, bytes] : frames) {
            struct pcap_pkthdr h {};
            h.ts.tv_sec = static_cast<time_t>(t);
            h.ts.tv_usec =
                static_cast<suseconds_t>((t - static_cast<double>(h.ts.tv_sec)) * 1e6 + 0.5);
            h.caplen = h.len = static_cast<bpf_u_int32>(bytes.size());
            pcap_dump(reinterpret_cast<u_char*>(out), &h, bytes.data());
        }
        pcap_dump_close(out);
        pcap_close(dead);
    }
};

TEST_F(ReplayCapture, ProbeRequestsWithTheirTimingAndTheRestCounted) {
    Bytes truncated = radio_frame(0x0040, 9, 5180, -50);
    truncated.resize(20);
    write(DLT_IEEE802_11_RADIO, {
                                    {1000.25, radio_frame(0x0080, 7, 5180, -50)},  // beacon
                                    {1001.00, radio_frame(0x0040, 1, 5180, -50)},
                                    {1001.40, truncated},
                                    {1002.50, radio_frame(0x0040, 2, 2412, -61)},
                                });
    std::vector<ReplayStep> steps;
    ReplayCounts counts;
    std::string error;
    ASSERT_TRUE(read_capture(path, steps, counts, error)) << error;
    EXPECT_EQ(counts.frames, 4u);
    EXPECT_EQ(counts.probes, 2u);
    EXPECT_EQ(counts.other, 1u);
    EXPECT_EQ(counts.malformed, 1u);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_DOUBLE_EQ(steps[0].offset, 0.0);
    EXPECT_NEAR(steps[1].offset, 1.5, 1e-6);
    EXPECT_EQ(steps[1].probe.mac[5], 2);
    EXPECT_EQ(steps[1].probe.freq, 2412);
    EXPECT_EQ(steps[1].probe.band, 0);

    EXPECT_EQ(script_line(steps[0], 1, 0), "0.000 00:16:3e:00:00:01 ff:ff:ff:ff:ff:ff -50 1 5180");
    EXPECT_EQ(script_line(steps[1], 3, 0.5),
              "1.000 00:16:3e:00:00:02 ff:ff:ff:ff:ff:ff -61 0 2412");
}

TEST_F(ReplayCapture, OtherLinkTypesAndMissingFilesAreRefused) {
    write(DLT_EN10MB, {{1.0, Bytes(60, 0)}});
    std::vector<ReplayStep> steps;
    ReplayCounts counts;
    std::string error;
    EXPECT_FALSE(read_capture(path, steps, counts, error));
    EXPECT_NE(error.find("radiotap"), std::string::npos) << error;

    error.clear();
    EXPECT_FALSE(read_capture(path + ".missing", steps, counts, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(steps.empty());
}

}  // namespace
