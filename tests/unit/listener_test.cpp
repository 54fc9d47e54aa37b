// The report listener's decoding: base64, the classification of datagrams,
// the printed lines and the command line. The round trip takes the daemon's
// own rendering of a report through the listener's parser.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "listen_options.h"
#include "probe_report.h"
#include "report_decode.h"

namespace {

std::vector<uint8_t> decoded(const std::string& text) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(base64_decode(text, out)) << text;
    return out;
}

Datagram parse(const std::string& text) {
    return parse_datagram(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

const std::string spaced_report =
    "{ \"data\": { \"ver\": 1, \"wifi\": { \"MAC\": \"ABEiM0RV\", \"RSSI\": -33 } } }";

TEST(ListenerBase64, DecodesFullAndPaddedGroups) {
    EXPECT_EQ(decoded("ABEiM0RV"), (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(decoded("////////"), std::vector<uint8_t>(6, 0xff));
    EXPECT_EQ(decoded("++++AAAA"), (std::vector<uint8_t>{0xfb, 0xef, 0xbe, 0, 0, 0}));
    EXPECT_EQ(decoded("YQ=="), std::vector<uint8_t>{'a'});
    EXPECT_EQ(decoded("YWI="), (std::vector<uint8_t>{'a', 'b'}));
    EXPECT_EQ(decoded(""), std::vector<uint8_t>{});
}

TEST(ListenerBase64, RejectsMalformedText) {
    std::vector<uint8_t> out;
    for (const char* bad : {"ABEiM0R", "ABE*M0RV", "ABEiM0R-", "A===", "=AAA", "YQ=A",
                            "YQ==YQ==", "ABEi M0R", "ABEiM0RV\n"}) {
        EXPECT_FALSE(base64_decode(bad, out)) << bad;
    }
}

TEST(ListenerParse, GreetingIsTheExactText) {
    EXPECT_EQ(parse("HelloMACrecver").kind, DatagramKind::greeting);
    EXPECT_EQ(parse(std::string("HelloMACrecver\0", 15)).kind, DatagramKind::other);
    EXPECT_EQ(parse("HelloMACrecve").kind, DatagramKind::other);
    EXPECT_EQ(parse("").kind, DatagramKind::other);
}

TEST(ListenerParse, ReportsInAnyJsonLayout) {
    Datagram d = parse(spaced_report);
    ASSERT_EQ(d.kind, DatagramKind::report);
    EXPECT_EQ(format_mac(d.mac), "00:11:22:33:44:55");
    EXPECT_EQ(d.ver, 1);
    EXPECT_EQ(d.rssi, -33);
    Datagram compact =
        parse("{\"data\":{\"wifi\":{\"RSSI\":-70,\"MAC\":\"\\/\\/\\/\\/AAAA\"},\"ver\":2}}");
    ASSERT_EQ(compact.kind, DatagramKind::report);
    EXPECT_EQ(format_mac(compact.mac), "ff:ff:ff:00:00:00");
    EXPECT_EQ(compact.ver, 2);
    EXPECT_EQ(compact.rssi, -70);
}

TEST(ListenerParse, AnythingElseIsOther) {
    const char* others[] = {
        "{ \"data\": { \"ver\": 1, \"wifi\": { \"MAC\": \"ABEiM0RVAA==\", \"RSSI\": "
        "-33 } } }",  // 7
        "{ \"data\": { \"ver\": 1, \"wifi\": { \"MAC\": \"ABEiMw==\", \"RSSI\": -33 } "
        "} }",  // 4
        "{ \"data\": { \"ver\": 1, \"wifi\": { \"MAC\": \"ABEiM0R!\", \"RSSI\": -33 } "
        "} }",
        "{ \"data\": { \"ver\": 1, \"wifi\": { \"MAC\": \"ABEiM0RV\" } } }",
        "{ \"data\": { \"ver\": \"1\", \"wifi\": { \"MAC\": \"ABEiM0RV\", \"RSSI\": "
        "-33 } } }",
        "{ \"data\": { \"ver\": 1, \"wifi\": { \"MAC\": 12, \"RSSI\": -33 } } }",
        "{ \"ver\": 1, \"wifi\": { \"MAC\": \"ABEiM0RV\", \"RSSI\": -33 } }",
        "{ \"data\": { \"ver\": 1, \"wifi\": { \"MAC\": \"ABEiM0RV\", \"RSSI\": -33 } "
        "} }x",
        "{ \"data\": { \"ver\": 1, \"wifi\": { \"MAC\": \"ABEiM0RV\", \"RSSI\": -33 } "
        "}",
        "[1, 2, 3]",
        "\x01\x02\x03",
    };
    for (const char* text : others) {
        Datagram d = parse(text);
        EXPECT_EQ(d.kind, DatagramKind::other) << text;
        EXPECT_EQ(d.length, strlen(text));
    }
}

TEST(ListenerParse, DaemonRenderingRoundTrips) {
    for (int i = 0; i < 64; ++i) {
        const uint8_t mac[6] = {static_cast<uint8_t>(i * 4),    static_cast<uint8_t>(0xff - i),
                                static_cast<uint8_t>(i ^ 0xf0), static_cast<uint8_t>(i * 37),
                                static_cast<uint8_t>(0x3f + i), static_cast<uint8_t>(i)};
        std::string text;
        ASSERT_TRUE(render_probe_report(mac, text));
        Datagram d = parse(text);
        ASSERT_EQ(d.kind, DatagramKind::report) << text;
        EXPECT_EQ(memcmp(d.mac, mac, 6), 0) << text;
        EXPECT_EQ(d.rssi, -33);
    }
}

TEST(ListenerLines, OneReadableLinePerKind) {
    const std::string from = "10.200.0.1:40123";
    EXPECT_EQ(describe_datagram(parse(spaced_report), from),
              "report 00:11:22:33:44:55 ver 1 rssi -33 from 10.200.0.1:40123");
    EXPECT_EQ(describe_datagram(parse("HelloMACrecver"), from),
              "greeting HelloMACrecver from 10.200.0.1:40123");
    EXPECT_EQ(describe_datagram(parse("\x01\x02\x03"), from),
              "other 3 bytes from 10.200.0.1:40123");
    EXPECT_EQ(describe_datagram(parse(""), from), "other 0 bytes from 10.200.0.1:40123");
}

bool parse_args(std::vector<const char*> args, ListenOptions& options, std::string& error) {
    args.insert(args.begin(), "vorlask-listen");
    return parse_listen_options(static_cast<int>(args.size()), const_cast<char**>(args.data()),
                                options, error);
}

TEST(ListenerOptions, DefaultsAndValues) {
    ListenOptions o;
    std::string error;
    ASSERT_TRUE(parse_args({}, o, error));
    EXPECT_EQ(o.group, "225.0.0.37");
    EXPECT_EQ(o.port, 5566);
    EXPECT_FALSE(o.send_reply);
    EXPECT_EQ(o.count, 0u);
    EXPECT_EQ(o.timeout, 0u);
    ASSERT_TRUE(parse_args({"--group", "239.1.2.3", "--port", "6000", "--reply", "0A0b0c0D0e0F",
                            "--count", "4", "--timeout", "9"},
                           o, error))
        << error;
    EXPECT_EQ(o.group, "239.1.2.3");
    EXPECT_EQ(o.port, 6000);
    EXPECT_TRUE(o.send_reply);
    EXPECT_EQ(o.reply, (std::vector<uint8_t>{0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}));
    EXPECT_EQ(o.count, 4u);
    EXPECT_EQ(o.timeout, 9u);
}

TEST(ListenerOptions, BadCommandLines) {
    const std::vector<std::vector<const char*>> bad = {
        {"--reply", "abc"},  {"--reply", "zz"},    {"--reply", ""},  {"--port", "0"},
        {"--port", "65536"}, {"--port", "-1"},     {"--count", "x"}, {"--timeout", "5s"},
        {"--count"},         {"--colour", "blue"}, {"extra"},
    };
    for (const auto& args : bad) {
        ListenOptions o;
        std::string error;
        EXPECT_FALSE(parse_args(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
