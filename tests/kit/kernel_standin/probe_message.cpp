#include "probe_message.h"

#include <linux/netlink.h>

#include <cstdio>
#include <cstring>

namespace standin {

void encode_probe(const ProbeFields& fields, uint32_t seq, uint8_t out[probe_message_size]) {
    struct nlmsghdr header;
    memset(&header, 0, sizeof header);
    header.nlmsg_len = probe_message_size;
    header.nlmsg_type = VORLASK_MSG_PROBE;
    header.nlmsg_seq = seq;
    memcpy(out, &header, sizeof header);
    uint8_t* payload = out + VORLASK_NLMSG_HDRLEN;
    memcpy(payload + VORLASK_PROBE_OFF_MAC, fields.mac, 6);
    memcpy(payload + VORLASK_PROBE_OFF_SECOND_MAC, fields.second_mac, 6);
    memcpy(payload + VORLASK_PROBE_OFF_RSSI, &fields.rssi, 1);
    payload[VORLASK_PROBE_OFF_BAND] = fields.band;
    memcpy(payload + VORLASK_PROBE_OFF_FREQ, &fields.freq, 2);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool parse_mac(const std::string& text, uint8_t mac[6]) {
    if (text.size() != 17) {
        return false;
    }
    uint8_t parsed[6];
    for (size_t i = 0; i < 6; ++i) {
        int high = hex_digit(text[3 * i]);
        int low = hex_digit(text[3 * i + 1]);
        if (high < 0 || low < 0 || (i < 5 && text[3 * i + 2] != ':')) {
            return false;
        }
        parsed[i] = static_cast<uint8_t>(high << 4 | low);
    }
    memcpy(mac, parsed, 6);
    return true;
}

}  // namespace standin
