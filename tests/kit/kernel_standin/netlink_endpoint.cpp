#include "netlink_endpoint.h"

#include "uapi/vorlask.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace standin {

NetlinkEndpoint::~NetlinkEndpoint() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool NetlinkEndpoint::open(uint32_t port, std::string& error) {
    fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, VORLASK_NETLINK_PROTOCOL);
    if (fd_ < 0) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof addr);
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = port;
    if (bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0) {
        error = "bind to port id " + std::to_string(port) + ": " + strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    if (getsockname(fd_, reinterpret_cast<struct sockaddr*>(&addr), &len) < 0) {
        error = std::string("getsockname: ") + strerror(errno);
        return false;
    }
    port_ = addr.nl_pid;
    send_flags_ = MSG_DONTWAIT;
    return true;
}

int NetlinkEndpoint::receive(int timeout_ms, uint8_t* buf, size_t capacity, size_t& length,
                             uint32_t& sender) {
    struct pollfd pfd = {fd_, POLLIN, 0};
    int ready = poll(&pfd, 1, timeout_ms);
    if (ready <= 0) {
        return ready < 0 && errno != EINTR ? -1 : 0;
    }
    struct sockaddr_nl from;
    memset(&from, 0, sizeof from);
    struct iovec iov = {buf, capacity};
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    // MSG_TRUNC: the result is the datagram's real length.
    ssize_t n = recvmsg(fd_, &msg, MSG_TRUNC | MSG_DONTWAIT);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    length = static_cast<size_t>(n);
    sender = from.nl_pid;
    return 1;
}

bool NetlinkEndpoint::set_send_timeout(int timeout_ms) {
    if (timeout_ms <= 0) {
        send_flags_ = MSG_DONTWAIT;
        return true;
    }
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    send_flags_ = 0;
    return setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

int NetlinkEndpoint::send_batch(uint32_t port, struct mmsghdr* messages, unsigned count) {
    struct sockaddr_nl to;
    memset(&to, 0, sizeof to);
    to.nl_family = AF_NETLINK;
    to.nl_pid = port;
    for (unsigned i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_name = &to;
        messages[i].msg_hdr.msg_namelen = sizeof to;
    }
    for (;;) {
        int n = sendmmsg(fd_, messages, count, send_flags_);
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            return -errno;
        }
    }
}

int NetlinkEndpoint::send_to(uint32_t port, const void* data, size_t length) {
    struct sockaddr_nl to;
    memset(&to, 0, sizeof to);
    to.nl_family = AF_NETLINK;
    to.nl_pid = port;
    for (;;) {
        ssize_t n = sendto(fd_, data, length, send_flags_, reinterpret_cast<struct sockaddr*>(&to),
                           sizeof to);
        if (n >= 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

}  // namespace standin
