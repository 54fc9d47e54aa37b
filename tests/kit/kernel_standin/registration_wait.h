// Waiting for the daemon's registration on the stand-in's socket.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "netlink_endpoint.h"

namespace standin {

struct Registration {
    uint32_t daemon_port = 0;    // the sender's port id, where probes go
    std::vector<uint8_t> bytes;  // the message as received
};

enum class WaitResult { registered, timed_out, failed };

// Reads datagrams for up to `seconds` until a valid registration arrives.
// Each other datagram is reported as one line "rejected: <problem>" on
// `rejections`, and the wait goes on.
WaitResult wait_for_registration(NetlinkEndpoint& endpoint, double seconds, Registration& out,
                                 std::ostream& rejections);

}  // namespace standin
