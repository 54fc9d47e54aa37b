#include "listen_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "mac_text.h"
#include "number_text.h"

const char* const listen_usage =
    "usage: vorlask-listen [--group ADDR] [--port N] [--reply HEX] [--count N] [--timeout S]\n"
    "  --group ADDR  multicast group to join (default 225.0.0.37)\n"
    "  --port N      UDP port (default 5566)\n"
    "  --reply HEX   send these bytes back to the sender of each greeting and report\n"
    "  --count N     exit after N datagrams (status 3 if --timeout ends the run first)\n"
    "  --timeout S   exit after S seconds\n";

namespace {}  // namespace

bool parse_hex(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_digit(text[i]);
        int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

bool parse_listen_options(int argc, char** argv, ListenOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        if (strcmp(name, "--group") != 0 && strcmp(name, "--port") != 0 &&
            strcmp(name, "--reply") != 0 && strcmp(name, "--count") != 0 &&
            strcmp(name, "--timeout") != 0) {
            error = std::string("unknown option ") + name;
            return false;
        }
        if (i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return false;
        }
        const char* value = argv[++i];
        uint64_t n = 0;
        bool ok = true;
        if (strcmp(name, "--group") == 0) {
            options.group = value;
        } else if (strcmp(name, "--port") == 0) {
            ok = read_unsigned(value, UnsignedForm{1, 65535}, n) == NumberRead::ok;
            options.port = static_cast<uint16_t>(n);
        } else if (strcmp(name, "--reply") == 0) {
            ok = parse_hex(value, options.reply);
            options.send_reply = ok;
        } else if (strcmp(name, "--count") == 0) {
            ok = read_unsigned(value, UnsignedForm{0, UINT64_MAX}, n) == NumberRead::ok;
            options.count = n;
        } else {
            ok = read_unsigned(value, UnsignedForm{0, 86400}, n) == NumberRead::ok;
            options.timeout = static_cast<uint32_t>(n);
        }
        if (!ok) {
            error = std::string("bad value for ") + name + ": " + value;
            return false;
        }
    }
    return true;
}
