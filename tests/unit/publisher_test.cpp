// The publisher's pure parts: the [mqtt] settings and their errors, the
// default client id, the address forms, the scan document and its parts,
// and the queue's byte bound.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <mbedtls/md.h>

#include "chameleon.h"
#include "mqtt/address_hash.h"
#include "mqtt/delivery_accounts.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/publish_queue.h"
#include "mqtt/scan_document.h"

// The library's HMAC, wrapped at link time (--wrap) so that a case can make
// it fail as an allocation failure would.
bool hmac_fails = false;
extern "C" int __real_mbedtls_md_hmac(const mbedtls_md_info_t* md_info, const unsigned char* key,
                                      size_t keylen, const unsigned char* input, size_t ilen,
                                      unsigned char* output);
extern "C" int __wrap_mbedtls_md_hmac(const mbedtls_md_info_t* md_info, const unsigned char* key,
                                      size_t keylen, const unsigned char* input, size_t ilen,
                                      unsigned char* output) {
    if (hmac_fails) {
        return MBEDTLS_ERR_MD_ALLOC_FAILED;
    }
    return __real_mbedtls_md_hmac(md_info, key, keylen, input, ilen, output);
}

namespace {

class ScratchDir {
  public:
    ScratchDir() {
        char name[] = "/tmp/publisher-test.XXXXXX";
        path_ = mkdtemp(name);
    }
    ~ScratchDir() { std::system(("rm -rf " + path_).c_str()); }
    std::string write(const std::string& name, const std::string& text) const {
        const std::string file = path_ + "/" + name;
        std::ofstream(file) << text;
        return file;
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Reads `body` as the configuration file's text.
std::string read_settings(const ScratchDir& dir, const std::string& body, MqttSettings& settings,
                          const IdentitySources& sources = IdentitySources()) {
    const std::string conf = dir.write("vorlask.conf", "[server]\nucast_addr = a\n" + body);
    Confile config(conf);
    return read_mqtt_settings(config, "/etc/vorlask.conf", settings, sources);
}

TEST(MqttSettings, AbsentSectionLeavesPublishingOff) {
    ScratchDir dir;
    MqttSettings s;
    EXPECT_EQ(read_settings(dir, "[other]\nhost = x\n", s), "");
    EXPECT_FALSE(s.enabled);
}

TEST(MqttSettings, EveryKeyRead) {
    ScratchDir dir;
    const std::string ca = dir.write("ca.pem", "x");
    const std::string pw = dir.write("pw", "s3cret\nignored\n");
    const std::string secret = dir.write("secret", "site\n");
    MqttSettings s;
    ASSERT_EQ(read_settings(dir,
                            "[mqtt]\nhost = a.example, 10.0.0.2\nclient_id = ap-7\nprefix = "
                            "site/one\nqos = 0\nkeepalive = 30\nusername = u1\npassword_file = " +
                                pw + "\nca_file = " + ca + "\nqueue_limit = 128K\n" +
                                "addresses = hashed\nsecret_file = " + secret + "\n",
                            s),
              "");
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.hosts, (std::vector<std::string>{"a.example", "10.0.0.2"}));
    EXPECT_EQ(s.port, 8883);  // TLS default
    EXPECT_EQ(s.client_id, "ap-7");
    EXPECT_EQ(s.scan_topic(), "site/one/ap-7/scan");
    EXPECT_EQ(s.status_topic(), "site/one/ap-7/status");
    EXPECT_EQ(s.qos, 0);
    EXPECT_EQ(s.keepalive, 30);
    EXPECT_EQ(s.password, "s3cret");
    EXPECT_EQ(s.queue_limit, 128u * 1024);
    EXPECT_TRUE(s.hashed);
    EXPECT_EQ(s.secret, "site");
}

TEST(MqttSettings, Defaults) {
    ScratchDir dir;
    MqttSettings s;
    ASSERT_EQ(read_settings(dir, "[mqtt]\nhost = b\nusername = ap9\n", s), "");
    EXPECT_EQ(s.port, 1883);
    EXPECT_EQ(s.qos, 1);
    EXPECT_EQ(s.client_id, "ap9");  // the user name when one is set
    EXPECT_EQ(s.scan_topic(), "vorlask/ap9/scan");
    EXPECT_FALSE(s.hashed);
}

TEST(MqttSettings, ClientIdInUtf8) {
    ScratchDir dir;
    MqttSettings s;
    ASSERT_EQ(read_settings(dir, "[mqtt]\nhost = b\nclient_id = caf\xc3\xa9-ap\n", s), "");
    EXPECT_EQ(s.status_topic(), "vorlask/caf\xc3\xa9-ap/status");
}

TEST(MqttSettings, BadValuesNameFileSectionKeyAndValue) {
    ScratchDir dir;
    const std::string empty = dir.write("empty", "\n");
    const struct {
        const char* body;
        const char* line;
    } cases[] = {
        {"qos = 1\n", "vorlask: /etc/vorlask.conf: section [mqtt] has no key host"},
        {"host = a,\n", "key host: bad value \"a,\""},
        {"host = a, ,b\n", "key host: bad value \"a, ,b\""},
        {"host = a\nport = 0\n", "key port: bad value \"0\""},
        {"host = a\nport = 65536\n", "key port: bad value \"65536\""},
        {"host = a\nport = 12x\n", "key port: bad value \"12x\""},
        {"host = a\nqos = 2\n", "key qos: bad value \"2\" (0 or 1)"},
        {"host = a\nkeepalive = 4\n", "key keepalive: bad value \"4\""},
        {"host = a\nqueue_limit = 1000\n", "key queue_limit: bad value \"1000\""},
        {"host = a\nqueue_limit = 65M\n", "key queue_limit: bad value \"65M\""},
        // 4097 MiB wraps to 1 MiB in 32 bits.
        {"host = a\nqueue_limit = 4097M\n", "key queue_limit: bad value \"4097M\""},
        {"host = a\nprefix = a/+/b\n", "key prefix: bad value \"a/+/b\""},
        {"host = a\nprefix = /a\n", "key prefix: bad value \"/a\""},
        {"host = a\nclient_id = x/y\n", "key client_id: bad value \"x/y\""},
        {"host = a\nclient_id = a#\n", "key client_id: bad value \"a#\""},
        {"host = a\nclient_id = caf\xe9\n", "key client_id: bad value \"caf\xe9\""},
        {"host = a\nclient_id = ap\xc2\x85\n", "key client_id: bad value"},
        {"host = a\naddresses = mixed\n", "key addresses: bad value \"mixed\""},
        {"host = a\naddresses = hashed\n",
         "key addresses: bad value \"hashed\" (needs secret_file)"},
        {"host = a\npassword_file = /nonexistent\nusername = u\n",
         "key password_file: bad value \"/nonexistent\" (cannot read the file"},
        {"host = a\npassword_file = /etc/hostname\n", "(needs username)"},
        {"host = a\nusername = u\npassword_file = /dev/zero\n", "(not a regular file)"},
        {"host = a\nca_file = /nonexistent\n", "key ca_file: bad value \"/nonexistent\""},
        {"host = a\ncert_file = /etc/hostname\n",
         "key cert_file: bad value \"/etc/hostname\" (needs ca_file)"},
        {"host = a\nhomeassistant = home+assistant\n",
         "key homeassistant: bad value \"home+assistant\" (topic levels"},
        {"host = a\nhomeassistant = ha/\n", "key homeassistant: bad value \"ha/\""},
    };
    for (const auto& c : cases) {
        MqttSettings s;
        const std::string line = read_settings(dir, std::string("[mqtt]\n") + c.body, s);
        EXPECT_NE(line.find(c.line), std::string::npos) << c.body << " gave: " << line;
        EXPECT_EQ(line.rfind("vorlask: /etc/vorlask.conf: section [mqtt]", 0), 0u) << line;
        EXPECT_FALSE(s.enabled) << c.body;
    }
    MqttSettings s;
    EXPECT_NE(read_settings(dir, "[mqtt]\nhost = a\nsecret_file = " + empty + "\n", s)
                  .find("(the file is empty)"),
              std::string::npos);
}

// Discovery is off unless the key is set; the key alone turns the section on.
TEST(MqttSettings, HomeAssistantPrefix) {
    ScratchDir dir;
    const struct {
        const char* body;
        const char* prefix;
    } cases[] = {
        {"[mqtt]\nhost = a\n", ""},
        {"[mqtt]\nhost = a\nhomeassistant = homeassistant\n", "homeassistant"},
        {"[mqtt]\nhost = a\nhomeassistant = ha/one\nprefix = site/two\n", "ha/one"},
    };
    for (const auto& c : cases) {
        MqttSettings s;
        ASSERT_EQ(read_settings(dir, c.body, s), "") << c.body;
        EXPECT_EQ(s.homeassistant, c.prefix) << c.body;
    }
    MqttSettings s;
    ASSERT_EQ(read_settings(dir, "[mqtt]\nhomeassistant = ha\n", s),
              "vorlask: /etc/vorlask.conf: section [mqtt] has no key host");
}

TEST(MqttSettings, DefaultClientIdFromMachineIdOrEthernetAddress) {
    ScratchDir dir;
    IdentitySources sources;
    sources.machine_id_file = dir.write("machine-id", "0123456789abcdef0123456789abcdef\n");
    sources.net_class_dir = dir.path() + "/net";
    EXPECT_EQ(default_client_id("OpenWrt", sources), "OpenWrt-0123456789ab");

    // No machine id: the first Ethernet interface by name, loopback and
    // all-zero addresses skipped.
    sources.machine_id_file = dir.path() + "/none";
    const struct {
        const char* name;
        const char* type;
        const char* address;
    } links[] = {{"lo", "772", "00:00:00:00:00:00"},
                 {"br-lan", "1", "00:00:00:00:00:00"},
                 {"eth1", "1", "aa:bb:cc:00:00:02"},
                 {"eth0", "1", "aa:bb:cc:00:00:01"},
                 {"wlan0", "801", "aa:bb:cc:00:00:03"}};
    EXPECT_EQ(default_client_id("OpenWrt", sources), "");
    for (const auto& link : links) {
        mkdir((sources.net_class_dir).c_str(), 0755);
        mkdir((sources.net_class_dir + "/" + link.name).c_str(), 0755);
        dir.write(std::string("net/") + link.name + "/type", std::string(link.type) + "\n");
        dir.write(std::string("net/") + link.name + "/address", std::string(link.address) + "\n");
    }
    EXPECT_EQ(default_client_id("OpenWrt", sources), "OpenWrt-aabbcc000001");

    MqttSettings s;
    ASSERT_EQ(read_settings(dir, "[mqtt]\nhost = a\n", s, sources), "");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(s.client_id, std::string(host) + "-aabbcc000001");
}

TEST(AddressHash, PlainAndKeyedForms) {
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    EXPECT_EQ(plain_address(mac), "00:1a:2b:3c:4d:5e");
    // HMAC-SHA-256 reference values computed independently.
    EXPECT_EQ(hashed_address(mac, "site-secret"), "fc34cad09a574113");
    EXPECT_EQ(hashed_address(mac, "other"), "bf2149ff13ead5be");
}

TEST(AddressHash, FailingHmacStopsStartUpAndHashesToNothing) {
    ScratchDir dir;
    const std::string secret = dir.write("secret", "site-secret\n");
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    hmac_fails = true;
    EXPECT_EQ(hashed_address(mac, "site-secret"), "");  // never 0000000000000000
    MqttSettings s;
    const std::string line = read_settings(
        dir, "[mqtt]\nhost = a\naddresses = hashed\nsecret_file = " + secret + "\n", s);
    hmac_fails = false;
    EXPECT_NE(line.find("key secret_file: bad value \"" + secret +
                        "\" (cannot hash addresses with it: MD - Failed to allocate memory)"),
              std::string::npos)
        << line;
    EXPECT_FALSE(s.enabled);
}

StationRow row(uint8_t last, int8_t rssi) {
    StationRow r{};
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, last};
    std::copy(mac, mac + 6, r.mac);
    r.rssi = rssi;
    r.band = 1;
    r.freq = 2437;
    std::fill(r.second_mac, r.second_mac + 6, 0xff);
    r.count = 7;
    r.first_ms = 1000000;
    r.last_ms = 1009000;
    return r;
}

ScanDocument document(size_t stations) {
    ScanDocument doc;
    doc.ap = "ap1";
    doc.seq = 17;
    doc.time = 1010;
    doc.scan_ms = 1010000;
    doc.interval = 10;
    for (size_t i = 0; i < stations; ++i) {
        doc.rows.push_back(row(static_cast<uint8_t>(i), static_cast<int8_t>(-40 - i % 50)));
    }
    doc.totals.table = 12;
    doc.totals.dropped = 3;
    doc.totals.queue_dropped = 2;
    return doc;
}

TEST(ScanDocument, RendersTheAgreedFields) {
    ScanDocument doc = document(1);
    const std::vector<std::string> parts = render_scan_document(doc);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0],
              "{\"ap\":\"ap1\",\"seq\":17,\"time\":1010,\"interval\":10,\"part\":1,\"parts\":1,"
              "\"address_form\":\"plain\",\"stations\":[{\"address\":\"00:1a:2b:3c:4d:00\","
              "\"rssi\":-40,\"band\":1,\"freq\":2437,\"second_mac\":\"ff:ff:ff:ff:ff:ff\","
              "\"count\":7,\"first_seen\":1000,\"last_seen\":1009,\"first_age\":10,\"last_age\":"
              "1,\"randomised\":false}],\"totals\":{\"table\":12,\"reported\":1,\"dropped\":3,"
              "\"turned_away\":0,"
              "\"kernel_lost\":0,\"queue_dropped\":2}}");

    // Hashed form, crowd estimate, and an empty scan that still has totals.
    const std::string secret = "site-secret";
    doc = document(0);
    doc.rows.push_back(row(0x5e, -50));
    doc.hashed = true;
    doc.secret = &secret;
    doc.totals.has_crowd = true;
    doc.totals.randomised = 14;
    doc.totals.estimate = 6;
    doc.totals.people = 8.54;
    const std::string hashed = render_scan_document(doc)[0];
    EXPECT_NE(hashed.find("\"address_form\":\"hashed\""), std::string::npos);
    EXPECT_NE(hashed.find("\"address\":\"fc34cad09a574113\""), std::string::npos);
    EXPECT_NE(hashed.find("\"second_mac\":\"ff:ff:ff:ff:ff:ff\""), std::string::npos);
    EXPECT_NE(hashed.find("\"crowd\":{\"randomised\":14,\"estimate\":6}"), std::string::npos);
    EXPECT_NE(hashed.find("\"estimate\":6},\"people\":8.5}"), std::string::npos);
    const std::string empty = render_scan_document(document(0))[0];
    EXPECT_NE(empty.find("\"stations\":[],\"totals\":{\"table\":12,\"reported\":0"),
              std::string::npos);
}

TEST(ScanDocument, SplitsIntoPartsWithinTheLimit) {
    for (size_t stations : {1u, 300u, 3000u}) {
        for (size_t limit : {2048u, 65536u}) {
            const ScanDocument doc = document(stations);
            const std::vector<std::string> parts = render_scan_document(doc, limit);
            size_t seen = 0;
            for (size_t i = 0; i < parts.size(); ++i) {
                EXPECT_LE(parts[i].size(), limit);
                json_object* part = json_tokener_parse(parts[i].c_str());
                ASSERT_NE(part, nullptr);
                json_object* value = nullptr;
                json_object_object_get_ex(part, "part", &value);
                EXPECT_EQ(json_object_get_int(value), static_cast<int>(i + 1));
                json_object_object_get_ex(part, "parts", &value);
                EXPECT_EQ(json_object_get_int(value), static_cast<int>(parts.size()));
                json_object_object_get_ex(part, "totals", &value);
                json_object_object_get_ex(value, "reported", &value);
                EXPECT_EQ(json_object_get_int(value), static_cast<int>(stations));
                json_object_object_get_ex(part, "stations", &value);
                // Stations in table order across the parts.
                for (size_t k = 0; k < json_object_array_length(value); ++k) {
                    json_object* address = nullptr;
                    json_object_object_get_ex(json_object_array_get_idx(value, k), "address",
                                              &address);
                    EXPECT_EQ(json_object_get_string(address), plain_address(doc.rows[seen].mac));
                    ++seen;
                }
                json_object_put(part);
            }
            EXPECT_EQ(seen, stations);
            // Split only when the whole would not fit.
            const size_t whole = render_scan_document(doc, SIZE_MAX)[0].size();
            EXPECT_EQ(parts.size() > 1, whole > limit) << stations << " " << limit;
        }
    }
}

TEST(ScanDocument, SeenTimesAtEveryAgeAroundTheScansLastDigits) {
    // The scan's time and a station's age: its first_seen is the difference,
    // whether the age reaches into the time's digits before its last four
    // or not.
    const struct {
        int64_t time, age;
    } cases[] = {{1765280000, 0},
                 {1765280000, 1},
                 {1765283456, 3456},
                 {1765283456, 3457},
                 {1765283456, 13456},
                 {1765283456, 13457},
                 {1765283456, 99999},
                 {20000, 10000},
                 {20000, 10001},
                 {19999, 5},
                 {10, 3},
                 {1765289999, 10000}};
    for (const auto& c : cases) {
        ScanDocument doc = document(1);
        doc.time = c.time;
        doc.scan_ms = 5000000000;
        doc.rows[0].first_ms = doc.scan_ms - c.age * 1000;
        const std::string text = render_scan_document(doc)[0];
        EXPECT_NE(text.find("\"first_seen\":" + std::to_string(c.time - c.age) + ","),
                  std::string::npos)
            << c.time << " " << c.age << " " << text;
    }
}

TEST(AddressHash, CacheGivesTheHmacAcrossScansAndEviction) {
    struct Case {
        const char* secret;
        size_t stations;  // a scan's, half of them new in every scan
        size_t scans;
    };
    const Case cases[] = {{"site-secret", 5, 3}, {"other", 300, 4}, {"", 3000, 3}};
    for (const Case& c : cases) {
        const std::string secret = c.secret;
        AddressHashCache cache(secret);
        for (size_t scan = 0; scan < c.scans; ++scan) {
            for (size_t i = 0; i < c.stations; ++i) {
                const size_t n = i + scan * c.stations / 2;
                const uint8_t mac[6] = {
                    0x02, 0, 0, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
                ASSERT_EQ(std::string(cache.lookup(mac)), hashed_address(mac, secret))
                    << c.secret << " scan " << scan << " station " << n;
            }
            cache.next_scan();
        }
    }
    // A large scan once, then small ones: the large one's stations go.
    const std::string secret = "site-secret";
    AddressHashCache cache(secret);
    const auto mac_of = [](size_t n) {
        return std::array<uint8_t, 6>{0x02,
                                      0,
                                      0,
                                      static_cast<uint8_t>(n >> 16),
                                      static_cast<uint8_t>(n >> 8),
                                      static_cast<uint8_t>(n)};
    };
    for (size_t n = 0; n < 3000; ++n) {
        cache.lookup(mac_of(n).data());
    }
    for (size_t scan = 0; scan < 100; ++scan) {
        cache.next_scan();
        for (size_t n = 0; n < 10; ++n) {
            EXPECT_EQ(std::string(cache.lookup(mac_of(n).data())),
                      hashed_address(mac_of(n).data(), secret));
        }
        for (size_t n = 0; n < 20; ++n) {
            cache.lookup(mac_of(10000 + scan * 20 + n).data());
        }
    }
    EXPECT_LT(cache.size(), 200u);
    // A failing HMAC: a kept station still has its hash, a new one gets
    // nothing, and gets its hash once the library works again.
    const uint8_t kept[6] = {0x02, 0, 0, 0, 0, 1}, fresh[6] = {0x02, 0, 0, 0, 0x77, 1};
    const std::string kept_hash = hashed_address(kept, secret);
    cache.lookup(kept);
    hmac_fails = true;
    EXPECT_EQ(std::string(cache.lookup(kept)), kept_hash);
    EXPECT_EQ(cache.lookup(fresh), "");
    hmac_fails = false;
    EXPECT_EQ(std::string(cache.lookup(fresh)), hashed_address(fresh, secret));

    // A document rendered with the cache, or into a payload sent before, is
    // the one rendered without.
    ScanDocument doc = document(40);
    doc.hashed = true;
    doc.secret = &secret;
    const std::string direct = render_scan_document(doc)[0];
    doc.hashes = &cache;
    for (size_t room : {0u, 10u, 9000u, 60000u}) {
        EXPECT_EQ(render_scan_document_into(doc, std::string(room, 'x'))[0], direct) << room;
        cache.next_scan();
    }
}

TEST(DeliveryAccounts, SentPayloadsComeBackForTheNextDocuments) {
    struct Case {
        size_t queue_limit;
        size_t documents;  // of 1,000 bytes, each handed to the library in turn
        size_t spares;     // given back to the scan worker
    };
    const Case cases[] = {
        {size_t{1} << 20, 3, 3},
        {2500, 3, 2},  // no more bytes than the queue's limit
        {size_t{1} << 20, DeliveryAccounts::spare_count + 10, DeliveryAccounts::spare_count}};
    for (const Case& c : cases) {
        DeliveryAccounts accounts(c.queue_limit);
        EXPECT_EQ(accounts.take_spare().capacity(), std::string().capacity());  // none yet
        for (size_t mid = 1; mid <= c.documents; ++mid) {
            std::vector<std::string> parts(1, std::string(1000, 'd'));
            accounts.add(parts);
            accounts.handed(static_cast<int>(mid));
        }
        size_t spares = 0;
        while (accounts.take_spare().capacity() >= 1000) {
            ++spares;
        }
        EXPECT_EQ(spares, c.spares) << c.queue_limit << " " << c.documents;
        EXPECT_EQ(accounts.counts().handed, c.documents);
    }
}

TEST(PublishQueue, OldestDroppedToKeepTheByteBound) {
    PublishQueue queue(100);
    EXPECT_EQ(queue.push({std::string(40, 'a')}), 0u);
    EXPECT_EQ(queue.push({std::string(40, 'b')}), 0u);
    EXPECT_EQ(queue.push({std::string(30, 'c')}), 1u);  // 'a' goes
    EXPECT_EQ(queue.bytes(), 70u);
    EXPECT_EQ(queue.front().payload[0], 'b');
    EXPECT_EQ(queue.push({std::string(101, 'd')}), 1u);  // larger than the bound: itself
    EXPECT_EQ(queue.push({std::string(100, 'e')}), 2u);
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.dropped(), 4u);
    queue.pop();
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.bytes(), 0u);
}

}  // namespace
