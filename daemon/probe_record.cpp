#include "probe_record.h"

#include <libmnl/libmnl.h>

#include <cstring>

bool decode_probe_datagram(const uint8_t* data, size_t length, ProbeRecord& record) {
    if (length < probe_datagram_min) {
        return false;
    }
    const uint8_t* payload = data + probe_header_size;
    memcpy(record.mac, payload + VORLASK_PROBE_OFF_MAC, 6);
    memcpy(record.second_mac, payload + VORLASK_PROBE_OFF_SECOND_MAC, 6);
    record.rssi = static_cast<int8_t>(payload[VORLASK_PROBE_OFF_RSSI]);
    record.band = payload[VORLASK_PROBE_OFF_BAND];
    memcpy(&record.freq, payload + VORLASK_PROBE_OFF_FREQ, 2);
    return true;
}

size_t build_registration(void* buf, uint32_t seq) {
    struct nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = registration_type;
    nlh->nlmsg_flags = registration_flags;
    nlh->nlmsg_seq = seq;
    mnl_attr_put_str(nlh, registration_attr, registration_text);
    return nlh->nlmsg_len;
}
