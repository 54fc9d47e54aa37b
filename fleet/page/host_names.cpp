#include "host_names.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cstdint>

#include "number_text.h"

namespace fleet_page {

namespace {

// NAME[:PORT] split into its name as compared (see HostNames::Name) and its port (-1 without
// one); false when malformed.
bool split(const std::string& text, std::string& name, int& port) {
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        in6_addr address;
        char canonical[INET6_ADDRSTRLEN];
        if (close == std::string::npos ||
            inet_pton(AF_INET6, text.substr(1, close - 1).c_str(), &address) != 1 ||
            !inet_ntop(AF_INET6, &address, canonical, sizeof canonical))
            return false;
        name = std::string("[") + canonical + "]";
        rest = text.substr(close + 1);
    } else {
        size_t colon = text.find(':');
        name = text.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : text.substr(colon);
        if (name.empty() || name.size() > 253)
            return false;
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
                return false;
        }
    }
    port = -1;
    if (rest.empty())
        return true;
    uint64_t value = 0;
    if (rest[0] != ':' || read_unsigned(rest.data() + 1, rest.size() - 1, UnsignedForm{1, 65535},
                                        value) != NumberRead::ok)
        return false;
    port = static_cast<int>(value);
    return true;
}

bool any_address(const std::string& address) {
    return address == "0.0.0.0" || address == "::";
}

}  // namespace

bool HostNames::set(const std::string& listen_address, unsigned port,
                    const std::vector<std::string>& names, std::string& error) {
    names_.clear();
    names_.push_back({"localhost", static_cast<int>(port)});
    if (!any_address(listen_address)) {
        std::string text = listen_address.find(':') == std::string::npos
                               ? listen_address
                               : "[" + listen_address + "]";
        Name own{std::string(), static_cast<int>(port)};
        int ignored;
        if (!split(text, own.name, ignored)) {
            error = "'" + listen_address + "' is not a numeric address";
            return false;
        }
        names_.push_back(own);
    }
    for (const std::string& text : names) {
        Name given;
        if (!split(text, given.name, given.port)) {
            error = "'" + text + "' is not a host name, NAME:PORT or [IPV6]:PORT";
            return false;
        }
        names_.push_back(given);
    }
    return true;
}

bool HostNames::allowed(const std::string& host) const {
    std::string name;
    int port;
    if (!split(host, name, port))
        return false;
    if (port < 0)
        port = 80;
    for (const Name& n : names_) {
        if (n.name == name && (n.port < 0 || n.port == port))
            return true;
    }
    return false;
}

}  // namespace fleet_page
