#include "probe_report.h"

#include <json-c/json.h>
#include <mbedtls/base64.h>

#include <cstdlib>
#include <cstring>

#include "console_log.h"
#include "probe_table.h"

bool render_probe_report(const uint8_t* mac, std::string& text) {
    unsigned char encoded[32];
    memset(encoded, 0, sizeof encoded);
    size_t written = 0;
    if (mbedtls_base64_encode(encoded, sizeof encoded, &written, mac, 6) != 0) {
        return false;
    }
    json_object* top = json_object_new_object();
    json_object* data = json_object_new_object();
    json_object* wifi = json_object_new_object();
    json_object_object_add(wifi, "MAC", json_object_new_string(reinterpret_cast<char*>(encoded)));
    json_object_object_add(wifi, "RSSI", json_object_new_int(-33));
    json_object_object_add(data, "ver", json_object_new_int(1));
    json_object_object_add(data, "wifi", wifi);
    json_object_object_add(top, "data", data);
    text = json_object_to_json_string(top);
    json_object_put(top);  // releases the whole document
    return true;
}

int send_probe_report(MulticastChannel& channel, const ProbeEntry& entry) {
    std::string text;
    if (!render_probe_report(entry.record->mac, text)) {
        log_msg(0, "base64_encode failed\n");
        return 1;
    }
    log_msg(3, "json[%d]: %s\n", static_cast<int>(text.size()), text.c_str());
    queue_datagram(channel, text.data(), text.size(), report_send_cb);
    return 0;
}

namespace {
void report_entry(void* context, const ProbeEntry& entry) {
    send_probe_report(*static_cast<MulticastChannel*>(context), entry);
}
}  // namespace

ScanSink probe_report_sink(MulticastChannel& channel) {
    return ScanSink{report_entry, nullptr, &channel};
}
