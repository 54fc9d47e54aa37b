// The stand-in's end of the probe channel: a NETLINK_USERSOCK socket bound to
// a chosen port id, where the kernel module's socket would be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct mmsghdr;

namespace standin {

class NetlinkEndpoint {
  public:
    NetlinkEndpoint() = default;
    ~NetlinkEndpoint();
    NetlinkEndpoint(const NetlinkEndpoint&) = delete;
    NetlinkEndpoint& operator=(const NetlinkEndpoint&) = delete;

    // Opens and binds the socket to `port` (0: a port id the kernel picks).
    // On failure `error` holds the failing call and the system error text.
    bool open(uint32_t port, std::string& error);
    uint32_t port() const { return port_; }

    // Waits up to `timeout_ms` for one datagram. Returns 1 with its full
    // length (even when longer than `capacity`) and the sender's port id,
    // 0 on timeout, -1 on an error.
    int receive(int timeout_ms, uint8_t* buf, size_t capacity, size_t& length, uint32_t& sender);

    // Sends one datagram to `port`. Unless a send timeout is set, a full
    // receive queue at the other end fails the send at once; with one, the
    // send waits up to that long for room. Returns 0 or the errno of the
    // failure.
    int send_to(uint32_t port, const void* data, size_t length);
    // Sends up to `count` datagrams in one call (sendmmsg), addressed to
    // `port`. Returns how many went out from the front, or minus the errno of
    // the failure of the first one.
    int send_batch(uint32_t port, struct mmsghdr* messages, unsigned count);
    bool set_send_timeout(int timeout_ms);

  private:
    int fd_ = -1;
    uint32_t port_ = 0;
    int send_flags_ = 0;
};

}  // namespace standin
