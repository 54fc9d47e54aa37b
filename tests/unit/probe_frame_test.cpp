// The kernel module's frame-to-record step, built for user space: radiotap
// fields, the management header, every kind of frame it must skip, and the
// record as the daemon decodes it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include "probe_frame.h"
}
#include "probe_record.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t station[6] = {0x00, 0x16, 0x3e, 0x00, 0x00, 0x01};
const uint8_t bssid[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// Radiotap header builder: fields are added in bit order, each aligned
// from the start of the header as radiotap requires.
struct Radiotap {
    std::vector<uint32_t> present{0};
    Bytes fields;
    size_t words() const { return present.size(); }
    void align(size_t a) {
        while ((8 + 4 * (words() - 1) + fields.size()) % a != 0) {
            fields.push_back(0);
        }
    }
    Radiotap& bit(int b) {
        present.back() |= 1u << b;
        return *this;
    }
    Radiotap& next_word() {  // sets bit 31 of the current word
        present.back() |= 1u << 31;
        present.push_back(0);
        return *this;
    }
    Radiotap& u8(uint8_t v) {
        fields.push_back(v);
        return *this;
    }
    Radiotap& le16(uint16_t v) {
        align(2);
        fields.push_back(v & 0xff);
        fields.push_back(v >> 8);
        return *this;
    }
    Radiotap& flags(uint8_t v) { return bit(1).u8(v); }
    Radiotap& channel(uint16_t freq) { return bit(3).le16(freq).le16(0x0140); }
    Radiotap& signal(int8_t dbm) { return bit(5).u8(static_cast<uint8_t>(dbm)); }
    Bytes build() const {
        Bytes out;
        size_t len = 4 + 4 * words() + fields.size();
        out.push_back(0);
        out.push_back(0);
        out.push_back(len & 0xff);
        out.push_back(len >> 8);
        for (uint32_t w : present) {
            for (int i = 0; i < 4; ++i) {
                out.push_back((w >> (8 * i)) & 0xff);
            }
        }
        out.insert(out.end(), fields.begin(), fields.end());
        return out;
    }
};

// An 802.11 management header with frame control `fc`, then `body`.
Bytes mgmt(uint16_t fc, const Bytes& body = {0x00, 0x00}) {
    Bytes f = {static_cast<uint8_t>(fc & 0xff), static_cast<uint8_t>(fc >> 8), 0, 0};
    f.insert(f.end(), bssid, bssid + 6);      // addr1: receiver
    f.insert(f.end(), station, station + 6);  // addr2: transmitter
    const uint8_t addr3[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    f.insert(f.end(), addr3, addr3 + 6);
    f.push_back(0x10);  // sequence control
    f.push_back(0x00);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

constexpr uint16_t probe_req = 0x0040;

Bytes frame(const Radiotap& rt, const Bytes& body) {
    Bytes f = rt.build();
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// Parses from a heap copy of exactly the frame's size, so that a read past
// its end is caught by the address sanitizer builds.
vorlask_frame_result parse(const Bytes& f, vorlask_probe& p) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[f.size() ? f.size() : 1]);
    if (!f.empty()) {
        memcpy(copy.get(), f.data(), f.size());
    }
    return vorlask_frame_to_probe(copy.get(), f.size(), &p);
}

TEST(ProbeFrame, ProbeRequestGivesTransmitterBssidSignalBandAndFrequency) {
    vorlask_probe p;
    memset(&p, 0x5a, sizeof p);
    Bytes f = frame(Radiotap().flags(0).bit(2).u8(12).channel(5180).signal(-50), mgmt(probe_req));
    ASSERT_EQ(parse(f, p), VORLASK_FRAME_PROBE);
    EXPECT_EQ(0, memcmp(p.mac, station, 6));
    const uint8_t addr3[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    EXPECT_EQ(0, memcmp(p.second_mac, addr3, 6));
    EXPECT_EQ(p.rssi, -50);
    EXPECT_EQ(p.band, 1);
    EXPECT_EQ(p.freq, 5180);
}

TEST(ProbeFrame, MissingFieldsGiveTheNoReadingValues) {
    vorlask_probe p;
    ASSERT_EQ(parse(frame(Radiotap().channel(2412), mgmt(probe_req)), p), VORLASK_FRAME_PROBE);
    EXPECT_EQ(p.rssi, VORLASK_RSSI_NONE);
    EXPECT_EQ(p.rssi, -128);
    EXPECT_EQ(p.band, 0);
    EXPECT_EQ(p.freq, 2412);

    ASSERT_EQ(parse(frame(Radiotap().signal(-70), mgmt(probe_req)), p), VORLASK_FRAME_PROBE);
    EXPECT_EQ(p.rssi, -70);
    EXPECT_EQ(p.freq, 0);
    EXPECT_EQ(p.band, VORLASK_BAND_UNKNOWN);
}

TEST(ProbeFrame, BandFollowsTheFrequency) {
    struct {
        uint16_t freq;
        uint8_t band;
    } cases[] = {
        {2412, 0}, {2484, 0}, {4920, 1},  {5180, 1},  {5825, 1}, {5925, 1},   {5935, 3},
        {5955, 3}, {7115, 3}, {58320, 2}, {64800, 2}, {915, 4},  {3000, 255}, {1, 255},
    };
    for (const auto& c : cases) {
        vorlask_probe p;
        ASSERT_EQ(parse(frame(Radiotap().channel(c.freq), mgmt(probe_req)), p),
                  VORLASK_FRAME_PROBE);
        EXPECT_EQ(p.band, c.band) << "freq " << c.freq;
        EXPECT_EQ(vorlask_band_of_freq(c.freq), c.band) << "freq " << c.freq;
    }
}

TEST(ProbeFrame, FirstSignalWinsOverPerAntennaRepeats) {
    // word 0: signal -40, then a radiotap namespace (bit 29) in word 1 with
    // the signal of antenna 0 (-60).
    Radiotap rt;
    rt.bit(3).bit(5).bit(29).next_word().bit(5).bit(11);
    rt.le16(5200).le16(0x0140).u8(0xd8).u8(0xc4).u8(0);
    vorlask_probe p;
    ASSERT_EQ(parse(frame(rt, mgmt(probe_req)), p), VORLASK_FRAME_PROBE);
    EXPECT_EQ(p.rssi, -40);
    EXPECT_EQ(p.freq, 5200);
}

TEST(ProbeFrame, VendorNamespaceDataIsSkipped) {
    // word 0: vendor namespace (bit 30) with 4 bytes of its own data whose
    // first bytes would read as a channel and a signal; word 1 (vendor): bit
    // 5 means nothing here; word 2 back in radiotap with bit 29: channel and
    // signal.
    Radiotap rt;
    rt.bit(30).next_word().bit(5).bit(29).next_word().bit(3).bit(5);
    rt.align(2);
    for (uint8_t b : {0x00, 0x11, 0x22, 0x01, 0x04, 0x00}) {  // OUI, sub ns, length 4
        rt.u8(b);
    }
    for (uint8_t b : {0x6c, 0x09, 0x9c, 0xff}) {
        rt.u8(b);
    }
    rt.le16(2437).le16(0x00a0).u8(0xce);
    vorlask_probe p;
    ASSERT_EQ(parse(frame(rt, mgmt(probe_req)), p), VORLASK_FRAME_PROBE);
    EXPECT_EQ(p.freq, 2437);
    EXPECT_EQ(p.rssi, -50);
}

TEST(ProbeFrame, OtherFramesAreNotProbes) {
    vorlask_probe p;
    Radiotap rt = Radiotap().channel(2412).signal(-50);
    EXPECT_EQ(parse(frame(rt, mgmt(0x0080)), p), VORLASK_FRAME_OTHER);  // beacon
    EXPECT_EQ(parse(frame(rt, mgmt(0x0050)), p), VORLASK_FRAME_OTHER);  // probe response
    EXPECT_EQ(parse(frame(rt, mgmt(0x0048)), p), VORLASK_FRAME_OTHER);  // data, subtype 4
    EXPECT_EQ(parse(frame(rt, mgmt(0x0041)), p), VORLASK_FRAME_OTHER);  // protocol version 1
    // an ACK is 10 bytes: not a probe, and not malformed either
    Bytes ack = {0xd4, 0x00, 0x00, 0x00, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(parse(frame(rt, ack), p), VORLASK_FRAME_OTHER);
}

TEST(ProbeFrame, ChecksumFlags) {
    vorlask_probe p;
    Bytes body = mgmt(probe_req);
    body.insert(body.end(), {0xde, 0xad, 0xbe, 0xef});  // FCS
    EXPECT_EQ(parse(frame(Radiotap().flags(0x10).channel(2412), body), p), VORLASK_FRAME_PROBE);
    EXPECT_EQ(parse(frame(Radiotap().flags(0x50).channel(2412), body), p), VORLASK_FRAME_BAD_FCS);
    // with the FCS taken off, 23 bytes are left of the 24-byte header
    Bytes short_body(body.begin(), body.begin() + 27);
    EXPECT_EQ(parse(frame(Radiotap().flags(0x10).channel(2412), short_body), p),
              VORLASK_FRAME_MALFORMED);
}

TEST(ProbeFrame, MalformedRadiotapIsSkipped) {
    vorlask_probe p;
    Bytes good = frame(Radiotap().channel(5180).signal(-50), mgmt(probe_req));

    Bytes version = good;
    version[0] = 1;
    EXPECT_EQ(parse(version, p), VORLASK_FRAME_MALFORMED);

    Bytes too_long = good;  // header length beyond the frame
    too_long[2] = 0xff;
    too_long[3] = 0x00;
    EXPECT_EQ(parse(too_long, p), VORLASK_FRAME_MALFORMED);

    Bytes too_short = good;  // header length shorter than its fields
    too_short[2] = 10;
    EXPECT_EQ(parse(too_short, p), VORLASK_FRAME_MALFORMED);

    // presence words that never end: bit 31 set in every word up to the end
    Bytes endless = {0, 0, 16, 0, 0, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0, 0, 0x80};
    Bytes endless_frame = endless;
    Bytes body = mgmt(probe_req);
    endless_frame.insert(endless_frame.end(), body.begin(), body.end());
    EXPECT_EQ(parse(endless_frame, p), VORLASK_FRAME_MALFORMED);

    // a vendor namespace whose data length runs past the header
    Radiotap rt;
    rt.bit(30).next_word();
    rt.align(2);
    for (uint8_t b : {0x00, 0x11, 0x22, 0x00, 0x40, 0x00}) {
        rt.u8(b);
    }
    EXPECT_EQ(parse(frame(rt, mgmt(probe_req)), p), VORLASK_FRAME_MALFORMED);
}

TEST(ProbeFrame, EveryTruncationIsRejectedWithoutReadingPastTheEnd) {
    Bytes good = frame(Radiotap().flags(0).channel(5180).signal(-50), mgmt(probe_req));
    size_t rtap_len = good[2];
    for (size_t n = 0; n < good.size(); ++n) {
        Bytes cut(good.begin(), good.begin() + n);
        vorlask_probe p;
        vorlask_frame_result r = parse(cut, p);
        if (n >= rtap_len + 24) {
            EXPECT_EQ(r, VORLASK_FRAME_PROBE) << n;
        } else {
            EXPECT_EQ(r, VORLASK_FRAME_MALFORMED) << "length " << n;
        }
    }
}

TEST(ProbeFrame, RecordIsTheProbePayloadTheDaemonDecodes) {
    vorlask_probe p;
    ASSERT_EQ(parse(frame(Radiotap().channel(5745).signal(-61), mgmt(probe_req)), p),
              VORLASK_FRAME_PROBE);
    ASSERT_EQ(sizeof p, 16u);
    uint8_t datagram[32] = {32, 0, 0, 0, 0x01, 0x04};  // netlink header, unread
    memcpy(datagram + 16, &p, sizeof p);
    ProbeRecord r;
    ASSERT_TRUE(decode_probe_datagram(datagram, sizeof datagram, r));
    EXPECT_EQ(0, memcmp(r.mac, station, 6));
    EXPECT_EQ(0, memcmp(r.second_mac, p.second_mac, 6));
    EXPECT_EQ(r.rssi, -61);
    EXPECT_EQ(r.band, 1);
    EXPECT_EQ(r.freq, 5745);
}

}  // namespace
