// The console facilities: the verbosity gate, the hex dump layout, trace and
// entry lines, and the assertion report.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "capture.h"
#include "console_log.h"

namespace {

std::string dump(uint32_t level_verbosity, uint8_t level, const std::vector<uint8_t>& bytes) {
    return run_in_child([&] {
               verbosity = level_verbosity;
               log_hex(level, bytes.data(), static_cast<uint32_t>(bytes.size()));
           })
        .out;
}

std::vector<uint8_t> range(int from, int to) {
    std::vector<uint8_t> v;
    for (int b = from; b < to; ++b) {
        v.push_back(static_cast<uint8_t>(b));
    }
    return v;
}

TEST(LogGate, EachLevelNeedsThatManyVerbosityRaises) {
    auto out = run_in_child([] {
                   for (uint32_t v = 0; v <= 4; ++v) {
                       verbosity = v;
                       for (uint8_t level = 0; level <= 4; ++level) {
                           log_msg(level, "%u%u ", v, level);
                       }
                   }
                   verbosity = 255;
                   log_msg(255, "top");
               }).out;
    EXPECT_EQ(out, "00 10 11 20 21 22 30 31 32 33 40 41 42 43 44 top");
}

TEST(LogHex, EmptyDumpPrintsNothing) {
    EXPECT_EQ(dump(4, 4, {}), "");
}

TEST(LogHex, SixteenBytesMakeOneFullLine) {
    std::string line = dump(4, 4, range(0x41, 0x51));
    EXPECT_EQ(line, "00000000       41424344 45464748 494a4b4c 4d4e4f50       ABCDEFGHIJKLMNOP\n");
    EXPECT_EQ(line.size(), 74u);
}

TEST(LogHex, ShortLastLineKeepsItsWidth) {
    std::vector<uint8_t> bytes = range(0x30, 0x44);  // 20 bytes
    EXPECT_EQ(dump(4, 4, bytes),
              "00000000       30313233 34353637 38393a3b 3c3d3e3f       0123456789:;<=>?\n"
              "00000010       40414243                                  @ABC            \n");
}

TEST(LogHex, OnlyGraphicBytesShowAsThemselves) {
    std::vector<uint8_t> bytes = {0x00, 0x1f, 0x20, 0x21, 0x7e, 0x7f, 0x80, 0xff,
                                  0x09, 0x0a, 0x41, 0x7a, 0xc5, 0x2e, 0x5c, 0x25};
    EXPECT_EQ(dump(4, 4, bytes),
              "00000000       001f2021 7e7f80ff 090a417a c52e5c25       ...!~.....Az..\\%\n");
}

TEST(LogHex, GateIsTestedOnce) {
    EXPECT_EQ(dump(3, 4, range(0, 40)), "");
    EXPECT_NE(dump(4, 4, range(0, 40)), "");
}

TEST(LogTrace, PrintsItsLevelNotTheVerbosity) {
    auto r = run_in_child([] {
        verbosity = 2;
        log_trace(1, "udp_recv_cb", 769);
        log_trace(3, "alloc_cb", 746);
        verbosity = 3;
        log_trace(3, "alloc_cb", 746);
    });
    EXPECT_EQ(r.err, "1 vorlask:769:udp_recv_cb(): \n3 vorlask:746:alloc_cb(): \n");
    EXPECT_EQ(r.out, "");
}

TEST(LogEnter, PrintsAtVerbosityZero) {
    auto r = run_in_child([] {
        verbosity = 0;
        log_enter("worker_multicast");
    });
    EXPECT_EQ(r.out, "--> worker_multicast\n");
}

TEST(FatalCheck, ReportsTheSiteAndAborts) {
    auto r = run_in_child([] { fatal_check(false, site::mcast_join); });
    EXPECT_TRUE(r.killed_by(SIGABRT));
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "Assertion failed in vorlask on line 435: r == 0\n");

    r = run_in_child([] { fatal_check(false, site::recv_error); });
    EXPECT_TRUE(r.killed_by(SIGABRT));
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "Assertion failed in vorlask on line 772: 0 && \"unexpected error\"\n");
}

TEST(FatalCheck, HoldingConditionDoesNothing) {
    auto r = run_in_child([] { fatal_check(true, site::thread3); });
    EXPECT_TRUE(r.exited());
    EXPECT_EQ(r.err, "");
}

TEST(FatalCheck, DeathTestOfAStartupSite) {
    EXPECT_DEATH(
        fatal_check(false, site::thread3),
        "Assertion failed in vorlask on line 871: 0 == uv_thread_create \\( &threads\\[3\\], "
        "worker_multicast, nl_session \\)");
}

}  // namespace
