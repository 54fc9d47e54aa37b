#include "view_writer.h"

#include <charconv>
#include <cstdio>

namespace fleet_page {

namespace {

// A literal appended without measuring it.
template <size_t N>
void lit(std::string& out, const char (&text)[N]) {
    out.append(text, N - 1);
}

void write_int(std::string& out, int64_t value) {
    char text[24];
    auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, static_cast<size_t>(end - text));
}

void write_optional(std::string& out, const std::optional<int64_t>& value) {
    if (value)
        write_int(out, *value);
    else
        lit(out, "null");
}

}  // namespace

void write_json_string(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    size_t plain = 0;  // start of the run not yet copied
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(text, plain, i - plain);
        plain = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xf];
        }
    }
    out.append(text, plain, std::string::npos);
    out += '"';
}

void write_ap(std::string& out, const ApState& ap) {
    lit(out, "{\"id\":");
    write_json_string(out, ap.id);
    if (!ap.site.empty()) {
        lit(out, ",\"site\":");
        write_json_string(out, ap.site);
    }
    if (ap.online)
        lit(out, ",\"online\":true,\"last_scan\":");
    else
        lit(out, ",\"online\":false,\"last_scan\":");
    write_optional(out, ap.last_scan);
    lit(out, ",\"seq\":");
    write_optional(out, ap.seq);
    lit(out, ",\"stations\":");
    write_int(out, ap.stations);
    lit(out, ",\"crowd\":");
    write_optional(out, ap.crowd);
    if (ap.people) {
        char text[32];
        int n = snprintf(text, sizeof text, "%.1f", *ap.people);
        lit(out, ",\"people\":");
        out.append(text, static_cast<size_t>(n));
    }
    lit(out, ",\"lost_documents\":");
    write_int(out, ap.lost_documents);
    lit(out, ",\"clock_offset\":");
    write_optional(out, ap.clock_offset);
    if (ap.clock_off)
        lit(out, ",\"clock_off\":true}");
    else
        lit(out, ",\"clock_off\":false}");
}

void write_station(std::string& out, const StationState& st) {
    lit(out, "{\"address\":");
    write_json_string(out, st.address);
    if (st.hashed)
        lit(out, ",\"form\":\"hashed\",\"strongest\":");
    else
        lit(out, ",\"form\":\"plain\",\"strongest\":");
    write_json_string(out, st.strongest);
    lit(out, ",\"last_seen\":");
    write_int(out, st.last_seen);
    lit(out, ",\"heard_by\":[");
    for (size_t i = 0; i < st.heard_by.size(); ++i) {
        const HeardBy& h = st.heard_by[i];
        if (i)
            out += ',';
        lit(out, "{\"ap\":");
        write_json_string(out, h.ap);
        lit(out, ",\"rssi\":");
        write_int(out, h.rssi);
        lit(out, ",\"last_seen\":");
        write_int(out, h.last_seen);
        out += '}';
    }
    lit(out, "]}");
}

}  // namespace fleet_page
