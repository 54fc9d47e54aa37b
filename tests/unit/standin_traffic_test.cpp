// The stand-in's traffic: command line, generated addresses and schedule,
// and paced sends on real netlink sockets.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "netlink_endpoint.h"
#include "paced_sender.h"
#include "probe_generator.h"
#include "scenario_script.h"
#include "standin_cli.h"

namespace {

using standin::CliResult;

CliResult parse(std::vector<std::string> args, standin::StandinOptions& options,
                std::string& error) {
    args.insert(args.begin(), "vorlask-kernel-standin");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    return standin::parse_command_line(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(StandinCli, DefaultsAndValues) {
    standin::StandinOptions o;
    std::string error;
    ASSERT_EQ(parse({"--port", "4242"}, o, error), CliResult::run) << error;
    EXPECT_EQ(o.port, 4242u);
    EXPECT_EQ(o.wait, 10);
    EXPECT_FALSE(o.generator.active());
    EXPECT_EQ(o.send_timeout_ms, 0);

    standin::StandinOptions g;
    ASSERT_EQ(parse({"--port",
                     "7",
                     "--duration",
                     "2.5",
                     "--stable",
                     "3",
                     "--stable-rate",
                     "0.5",
                     "--random",
                     "9",
                     "--random-hits",
                     "2",
                     "--flood",
                     "1000",
                     "--flood-secs",
                     "4",
                     "--flood-start",
                     "1.5",
                     "--seed",
                     "99",
                     "--burst",
                     "5",
                     "--rate-unlimited",
                     "--linger",
                     "3",
                     "--wait",
                     "0.5"},
                    g, error),
              CliResult::run)
        << error;
    EXPECT_EQ(g.generator.duration, 2.5);
    EXPECT_EQ(g.generator.stable, 3u);
    EXPECT_EQ(g.generator.stable_rate, 0.5);
    EXPECT_EQ(g.generator.random, 9u);
    EXPECT_EQ(g.generator.random_hits, 2u);
    EXPECT_EQ(g.generator.flood_rate, 1000);
    EXPECT_EQ(g.generator.flood_secs, 4);
    EXPECT_EQ(g.generator.flood_start, 1.5);
    EXPECT_EQ(g.generator.seed, 99u);
    EXPECT_EQ(g.generator.burst, 5u);
    EXPECT_TRUE(g.rate_unlimited);
    EXPECT_EQ(g.linger, 3);
    EXPECT_EQ(g.wait, 0.5);
}

TEST(StandinCli, Errors) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "--port ID is required (a port id from 1 to 4294967295)"},
        {{"--port", "0"}, "bad value \"0\" for --port"},
        {{"--port", "4294967296"}, "bad value \"4294967296\" for --port"},
        {{"--port", "-3"}, "bad value \"-3\" for --port"},
        {{"--port", "1", "--wait", "soon"}, "bad value \"soon\" for --wait"},
        {{"--port", "1", "--stable-rate", "0"}, "bad value \"0\" for --stable-rate"},
        {{"--port", "1", "--random-hits", "0"}, "bad value \"0\" for --random-hits"},
        {{"--port", "1", "--linger"}, "--linger needs a value"},
        {{"--port", "1", "--colour", "red"}, "unknown option --colour"},
        {{"--port", "1", "extra"}, "unexpected argument \"extra\""},
        {{"--port", "1", "--script", "s.txt", "--stable", "2"},
         "--script does not combine with generator options"},
        {{"--port", "1", "--rate-unlimited", "--script", "s.txt"},
         "--script does not combine with generator options"},
    };
    for (const auto& c : cases) {
        standin::StandinOptions o;
        std::string error;
        EXPECT_EQ(parse(c.first, o, error), CliResult::error) << c.second;
        EXPECT_EQ(error, c.second);
    }
}

std::string key(const uint8_t mac[6]) {
    return std::string(mac, mac + 6);
}

TEST(StandinGenerator, AddressSetsAreDistinctAndMarkedAsTheyShouldBe) {
    std::set<std::string> seen;
    uint8_t mac[6];
    for (uint64_t i = 0; i < 100000; ++i) {
        standin::stable_mac(5, i, mac);
        EXPECT_EQ(mac[0] & 0x03, 0) << "stable addresses are global unicast";
        seen.insert(key(mac));
        standin::random_mac(5, i, mac);
        EXPECT_EQ(mac[0] & 0x03, 0x02) << "randomised addresses are local unicast";
        seen.insert(key(mac));
        standin::flood_mac(5, i, mac);
        EXPECT_EQ(mac[0] & 0x03, 0x02);
        seen.insert(key(mac));
    }
    EXPECT_EQ(seen.size(), 300000u);

    uint8_t again[6];
    standin::stable_mac(5, 17, mac);
    standin::stable_mac(5, 17, again);
    EXPECT_EQ(key(mac), key(again));
    standin::stable_mac(6, 17, again);
    EXPECT_NE(key(mac), key(again));
}

struct Sent {
    double at;
    std::string mac;
    uint32_t seq;
};

std::vector<Sent> run(const standin::GeneratorOptions& options) {
    standin::ProbeGenerator generator(options);
    std::vector<Sent> sent;
    standin::Datagram d;
    while (generator.next(d)) {
        EXPECT_EQ(d.length, 32u);
        uint32_t seq;
        memcpy(&seq, d.data + 8, 4);
        sent.push_back({d.at, std::string(d.data + 16, d.data + 22), seq});
    }
    EXPECT_EQ(sent.size(), generator.total());
    return sent;
}

TEST(StandinGenerator, StableStationsProbeEvenlyAtTheirRate) {
    standin::GeneratorOptions o;
    o.stable = 4;
    o.stable_rate = 10;
    o.duration = 2;
    std::vector<Sent> sent = run(o);
    ASSERT_EQ(sent.size(), 80u);
    std::map<std::string, int> per_station;
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_NEAR(sent[i].at, static_cast<double>(i) / 40, 1e-9);
        EXPECT_EQ(sent[i].seq, i + 1);
        EXPECT_EQ(sent[i].mac, sent[i % 4].mac);
        per_station[sent[i].mac] += 1;
    }
    EXPECT_EQ(per_station.size(), 4u);
    for (const auto& s : per_station) {
        EXPECT_EQ(s.second, 20);
    }
}

TEST(StandinGenerator, RandomAddressesFloodAndBurstMergeInTimeOrder) {
    standin::GeneratorOptions o;
    o.duration = 10;
    o.random = 5;
    o.random_hits = 3;
    o.flood_rate = 100;
    o.flood_secs = 1;
    o.flood_start = 2;
    o.burst = 4;
    std::vector<Sent> sent = run(o);
    ASSERT_EQ(sent.size(), 4u + 15u + 100u);
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_LE(sent[i - 1].at, sent[i].at);
    }
    std::map<std::string, std::vector<double>> random_times;
    std::set<std::string> flood;
    int burst = 0;
    uint8_t first_stable[6];
    standin::stable_mac(o.seed, 0, first_stable);
    for (const Sent& s : sent) {
        if (s.mac == key(first_stable)) {
            EXPECT_EQ(s.at, 0);
            ++burst;
        } else if (s.at >= 2 && s.at < 3 && (static_cast<uint8_t>(s.mac[0]) & 0x04) != 0) {
            flood.insert(s.mac);
        } else {
            random_times[s.mac].push_back(s.at);
        }
    }
    EXPECT_EQ(burst, 4);
    EXPECT_EQ(flood.size(), 100u);
    ASSERT_EQ(random_times.size(), 5u);
    std::set<double> starts;
    for (const auto& r : random_times) {
        ASSERT_EQ(r.second.size(), 3u);
        EXPECT_EQ(r.second[0], r.second[2]) << "the hits of an address go back to back";
        starts.insert(r.second[0]);
    }
    EXPECT_EQ(starts, (std::set<double>{0, 2, 4, 6, 8}));
}

// A receiving socket that is never read, with a small queue.
class StandinSend : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sender_.open(0, error)) << error;
        ASSERT_TRUE(receiver_.open(0, error)) << error;
    }
    standin::NetlinkEndpoint sender_;
    standin::NetlinkEndpoint receiver_;
};

TEST_F(StandinSend, PacesToAbsoluteDeadlines) {
    standin::GeneratorOptions o;
    o.stable = 2;
    o.stable_rate = 50;
    o.duration = 0.5;  // 50 datagrams, the last at 0.49 s
    standin::ProbeGenerator generator(o);
    const auto start = std::chrono::steady_clock::now();
    standin::SendStats stats =
        standin::send_all(generator, sender_, receiver_.port(), standin::monotonic_now(), false);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(stats.sent, 50u);
    EXPECT_EQ(stats.failures, 0u);
    EXPECT_GE(elapsed, 0.489);
    EXPECT_LT(elapsed, 1.5);
    EXPECT_GE(stats.seconds, 0.48);

    uint8_t buf[64];
    size_t length = 0;
    uint32_t from = 0;
    int received = 0;
    while (receiver_.receive(0, buf, sizeof buf, length, from) == 1) {
        EXPECT_EQ(length, 32u);
        EXPECT_EQ(from, sender_.port());
        ++received;
    }
    EXPECT_EQ(received, 50);
}

TEST_F(StandinSend, BatchedAndLongDatagramsArriveInOrder) {
    // 100 probes due at once go out in batches; a long raw datagram in the
    // middle goes on its own, after the probes before it.
    std::vector<standin::ScriptStep> steps(3);
    steps[0].repeat = 70;
    steps[0].probe.rssi = 1;
    steps[1].raw = true;
    steps[1].bytes.assign(100, 0xAB);
    steps[2].repeat = 30;
    steps[2].probe.rssi = 2;
    standin::ScriptSource source(steps);
    standin::SendStats stats =
        standin::send_all(source, sender_, receiver_.port(), standin::monotonic_now(), false);
    EXPECT_EQ(stats.sent, 101u);
    EXPECT_EQ(stats.failures, 0u);

    std::vector<std::pair<size_t, uint8_t>> got;  // length, rssi byte or raw fill
    uint8_t buf[256];
    size_t length = 0;
    uint32_t from = 0;
    while (receiver_.receive(0, buf, sizeof buf, length, from) == 1) {
        got.emplace_back(length, length == 32 ? buf[28] : buf[99]);
    }
    ASSERT_EQ(got.size(), 101u);
    for (size_t i = 0; i < got.size(); ++i) {
        const auto expected = i < 70    ? std::make_pair<size_t, uint8_t>(32, 1)
                              : i == 70 ? std::make_pair<size_t, uint8_t>(100, 0xAB)
                                        : std::make_pair<size_t, uint8_t>(32, 2);
        EXPECT_EQ(got[i], expected) << "datagram " << i;
    }
}

TEST_F(StandinSend, AFullQueueCountsFailuresInsteadOfBlocking) {
    standin::GeneratorOptions o;
    o.burst = 20000;  // far more than a receive queue holds
    standin::ProbeGenerator generator(o);
    const auto start = std::chrono::steady_clock::now();
    standin::SendStats stats =
        standin::send_all(generator, sender_, receiver_.port(), standin::monotonic_now(), true);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(stats.sent, 0u);
    EXPECT_GT(stats.failures, 0u);
    EXPECT_EQ(stats.sent + stats.failures, 20000u);
    EXPECT_LT(elapsed, 5.0);

    // With a send timeout a send waits for room, then fails.
    ASSERT_TRUE(sender_.set_send_timeout(100));
    uint8_t message[32] = {32};
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(sender_.send_to(receiver_.port(), message, sizeof message), EAGAIN);
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    EXPECT_GE(waited, 0.09);
}

}  // namespace
