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

}  // namespace standin
