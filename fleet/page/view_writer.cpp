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

// A member (its name with the comma before it and the colon after, as a literal) and its value.
template <size_t N>
void int_member(std::string& out, const char (&name)[N], int64_t value) {
    lit(out, name);
    write_int(out, value);
}
template <size_t N>
void optional_member(std::string& out, const char (&name)[N], const std::optional<int64_t>& value) {
    lit(out, name);
    write_optional(out, value);
}
template <size_t N>
void string_member(std::string& out, const char (&name)[N], const std::string& value) {
    lit(out, name);
    write_json_string(out, value);
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
    string_member(out, "{\"id\":", ap.id);
    if (!ap.site.empty())
        string_member(out, ",\"site\":", ap.site);
    lit(out, ",\"online\":");
    out += ap.online ? "true" : "false";
    optional_member(out, ",\"last_scan\":", ap.last_scan);
    optional_member(out, ",\"seq\":", ap.seq);
    int_member(out, ",\"stations\":", ap.stations);
    optional_member(out, ",\"crowd\":", ap.crowd);
    if (ap.people) {
        char text[32];
        int n = snprintf(text, sizeof text, "%.1f", *ap.people);
        lit(out, ",\"people\":");
        out.append(text, static_cast<size_t>(n));
    }
    int_member(out, ",\"lost_documents\":", ap.lost_documents);
    optional_member(out, ",\"clock_offset\":", ap.clock_offset);
    lit(out, ",\"clock_off\":");
    out += ap.clock_off ? "true}" : "false}";
}

void write_station(std::string& out, const StationState& st) {
    string_member(out, "{\"address\":", st.address);
    lit(out, ",\"form\":");
    out += st.hashed ? "\"hashed\"" : "\"plain\"";
    string_member(out, ",\"strongest\":", st.strongest);
    int_member(out, ",\"last_seen\":", st.last_seen);
    lit(out, ",\"heard_by\":[");
    for (size_t i = 0; i < st.heard_by.size(); ++i) {
        const HeardBy& h = st.heard_by[i];
        if (i)
            out += ',';
        string_member(out, "{\"ap\":", h.ap);
        int_member(out, ",\"rssi\":", h.rssi);
        int_member(out, ",\"last_seen\":", h.last_seen);
        out += '}';
    }
    lit(out, "]}");
}

}  // namespace fleet_page
