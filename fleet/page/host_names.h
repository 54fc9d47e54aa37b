// The names a request's Host header may carry. A web page the operator visits can make the
// browser send requests to the page's address under a name of the attacker's (DNS rebinding);
// the browser then sends that name as Host, so only names the collector knows are served.
#pragma once

#include <string>
#include <vector>

namespace fleet_page {

class HostNames {
  public:
    // The listen address with the listening port and localhost with it (for 0.0.0.0 or ::
    // only localhost), and each of `names`: NAME (any port) or NAME:PORT, NAME a DNS name, a
    // dotted IPv4 address or an IPv6 address in brackets. False and error for a malformed name.
    bool set(const std::string& listen_address, unsigned port,
             const std::vector<std::string>& names, std::string& error);
    // A Host header's value (port 80 when it has none): case does not matter, IPv6 addresses
    // compare as addresses.
    bool allowed(const std::string& host) const;

  private:
    struct Name {
        std::string name;  // lower case; an IPv6 address bracketed in its shortest form
        int port;          // -1: any
    };
    std::vector<Name> names_;
};

}  // namespace fleet_page
