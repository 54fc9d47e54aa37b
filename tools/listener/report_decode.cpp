#include "report_decode.h"

#include <json-c/json.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

const char greeting_text[] = "HelloMACrecver";
constexpr size_t greeting_length = sizeof greeting_text - 1;

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// The member `key` of `obj` when it exists and has `type`, else null.
json_object* member(json_object* obj, const char* key, json_type type) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(obj, key, &value) || !json_object_is_type(value, type)) {
        return nullptr;
    }
    return value;
}

bool parse_report(const uint8_t* bytes, size_t length, Datagram& d) {
    json_tokener* tok = json_tokener_new();
    if (tok == nullptr) {
        return false;
    }
    json_object* top =
        json_tokener_parse_ex(tok, reinterpret_cast<const char*>(bytes), static_cast<int>(length));
    bool whole = json_tokener_get_error(tok) == json_tokener_success &&
                 json_tokener_get_parse_end(tok) == length;
    json_tokener_free(tok);
    bool ok = false;
    if (top != nullptr && whole) {
        json_object* data = member(top, "data", json_type_object);
        json_object* ver = data ? member(data, "ver", json_type_int) : nullptr;
        json_object* wifi = data ? member(data, "wifi", json_type_object) : nullptr;
        json_object* mac = wifi ? member(wifi, "MAC", json_type_string) : nullptr;
        json_object* rssi = wifi ? member(wifi, "RSSI", json_type_int) : nullptr;
        std::vector<uint8_t> raw;
        if (ver && mac && rssi && base64_decode(json_object_get_string(mac), raw) &&
            raw.size() == 6) {
            memcpy(d.mac, raw.data(), 6);
            d.ver = json_object_get_int64(ver);
            d.rssi = json_object_get_int64(rssi);
            ok = true;
        }
    }
    json_object_put(top);
    return ok;
}

}  // namespace

bool base64_decode(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0) {
                return false;  // data after padding
            }
            v[k] = base64_value(c);
            if (v[k] < 0) {
                return false;
            }
        }
        uint32_t n = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) |
                     uint32_t(v[3]);
        out.push_back(static_cast<uint8_t>(n >> 16));
        if (pad < 2)
            out.push_back(static_cast<uint8_t>(n >> 8));
        if (pad < 1)
            out.push_back(static_cast<uint8_t>(n));
    }
    return true;
}

Datagram parse_datagram(const uint8_t* bytes, size_t length) {
    Datagram d;
    d.length = length;
    if (length == greeting_length && memcmp(bytes, greeting_text, length) == 0) {
        d.kind = DatagramKind::greeting;
    } else if (length > 0 && parse_report(bytes, length, d)) {
        d.kind = DatagramKind::report;
    }
    return d;
}

std::string describe_datagram(const Datagram& d, const std::string& sender) {
    char text[128];
    switch (d.kind) {
        case DatagramKind::greeting:
            return std::string("greeting ") + greeting_text + " from " + sender;
        case DatagramKind::report:
            snprintf(text, sizeof text, "report %s ver %" PRId64 " rssi %" PRId64 " from ",
                     format_mac(d.mac).c_str(), d.ver, d.rssi);
            return text + sender;
        case DatagramKind::other:
            break;
    }
    snprintf(text, sizeof text, "other %zu bytes from ", d.length);
    return text + sender;
}
