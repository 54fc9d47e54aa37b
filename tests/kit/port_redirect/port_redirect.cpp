// Preload library for running the daemon against a userspace kernel stand-in.
//
// The kernel end of the probe channel is port id 0 of NETLINK_USERSOCK, which
// no userspace program can bind. When VORLASK_KERNEL_PORT names a port id,
// every netlink datagram this process sends to port id 0 (unicast, no groups)
// through sendto or sendmsg goes to that port id instead, a connect to port id
// 0 connects to it instead, and a datagram received from it through recvmsg
// or recvfrom is shown as coming from port id 0, the kernel (datagrams from
// any other port keep their sender). Without the variable, or with a value
// that is not a port id, nothing changes.
//
// A stand-in started together with the daemon may not be bound yet when the
// registration goes out; a redirected send that is refused is therefore tried
// again every 10 ms for up to VORLASK_KERNEL_WAIT_MS milliseconds (default
// 2000, 0 for no retry) before the refusal reaches the caller.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "number_text.h"

namespace {

using sendto_fn = ssize_t (*)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
using sendmsg_fn = ssize_t (*)(int, const struct msghdr*, int);
using connect_fn = int (*)(int, const struct sockaddr*, socklen_t);
using recvmsg_fn = ssize_t (*)(int, struct msghdr*, int);
using recvfrom_fn = ssize_t (*)(int, void*, size_t, int, struct sockaddr*, socklen_t*);

// Written once by the constructor, before main runs; 0 while no redirect is
// wanted.
uint32_t target_port = 0;
long retry_ms = 2000;
sendto_fn real_sendto = nullptr;
sendmsg_fn real_sendmsg = nullptr;
connect_fn real_connect = nullptr;
recvmsg_fn real_recvmsg = nullptr;
recvfrom_fn real_recvfrom = nullptr;

// The value of a decimal number up to `max`, or `fallback`.
uint64_t parse_number(const char* text, uint64_t max, uint64_t fallback) {
    uint64_t value = fallback;
    read_unsigned(text, UnsignedForm{0, max}, value);
    return value;
}

template <typename Fn>
Fn next_symbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void read_settings() {
    const int saved = errno;
    real_sendto = next_symbol<sendto_fn>("sendto");
    real_sendmsg = next_symbol<sendmsg_fn>("sendmsg");
    real_connect = next_symbol<connect_fn>("connect");
    real_recvmsg = next_symbol<recvmsg_fn>("recvmsg");
    real_recvfrom = next_symbol<recvfrom_fn>("recvfrom");
    target_port = static_cast<uint32_t>(parse_number(getenv("VORLASK_KERNEL_PORT"), UINT32_MAX, 0));
    retry_ms = static_cast<long>(parse_number(getenv("VORLASK_KERNEL_WAIT_MS"), 600000, 2000));
    errno = saved;
}

long elapsed_ms(const struct timespec& since) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// Runs `send` until it is not refused or the retry time is over.
template <typename Send>
ssize_t send_retrying(Send send) {
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        ssize_t result = send();
        if (result >= 0 || errno != ECONNREFUSED || elapsed_ms(start) >= retry_ms) {
            return result;
        }
        const struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        errno = ECONNREFUSED;
    }
}

// True when `addr` is a netlink address bound for the kernel's unicast port;
// fills `out` with the same address pointed at the stand-in.
bool redirected(const void* addr, socklen_t len, struct sockaddr_nl& out) {
    if (target_port == 0 || addr == nullptr || len < sizeof(struct sockaddr_nl)) {
        return false;
    }
    memcpy(&out, addr, sizeof out);
    if (out.nl_family != AF_NETLINK || out.nl_pid != 0 || out.nl_groups != 0) {
        return false;
    }
    out.nl_pid = target_port;
    return true;
}

// A received netlink source address that is the stand-in's becomes the
// kernel's.
void show_as_kernel(void* addr, socklen_t len) {
    if (target_port == 0 || addr == nullptr || len < sizeof(struct sockaddr_nl)) {
        return;
    }
    struct sockaddr_nl from;
    memcpy(&from, addr, sizeof from);
    if (from.nl_family == AF_NETLINK && from.nl_pid == target_port) {
        from.nl_pid = 0;
        memcpy(addr, &from, sizeof from);
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) ssize_t sendto(int fd, const void* buf,
                                                                 size_t len, int flags,
                                                                 const struct sockaddr* addr,
                                                                 socklen_t addrlen) {
    const sendto_fn real = real_sendto;
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    struct sockaddr_nl nl;
    if (redirected(addr, addrlen, nl)) {
        return send_retrying([&] {
            return real(fd, buf, len, flags, reinterpret_cast<const struct sockaddr*>(&nl),
                        sizeof nl);
        });
    }
    return real(fd, buf, len, flags, addr, addrlen);
}

extern "C" __attribute__((visibility("default"))) ssize_t sendmsg(int fd, const struct msghdr* msg,
                                                                  int flags) {
    const sendmsg_fn real = real_sendmsg;
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    struct sockaddr_nl nl;
    if (msg != nullptr && redirected(msg->msg_name, msg->msg_namelen, nl)) {
        struct msghdr copy = *msg;
        copy.msg_name = &nl;
        copy.msg_namelen = sizeof nl;
        return send_retrying([&] { return real(fd, &copy, flags); });
    }
    return real(fd, msg, flags);
}

extern "C" __attribute__((visibility("default"))) int connect(int fd, const struct sockaddr* addr,
                                                              socklen_t addrlen) {
    const connect_fn real = real_connect;
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    struct sockaddr_nl nl;
    if (redirected(addr, addrlen, nl)) {
        return real(fd, reinterpret_cast<const struct sockaddr*>(&nl), sizeof nl);
    }
    return real(fd, addr, addrlen);
}

extern "C" __attribute__((visibility("default"))) ssize_t recvmsg(int fd, struct msghdr* msg,
                                                                  int flags) {
    const recvmsg_fn real = real_recvmsg;
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const ssize_t n = real(fd, msg, flags);
    if (n >= 0 && msg != nullptr) {
        show_as_kernel(msg->msg_name, msg->msg_namelen);
    }
    return n;
}

extern "C" __attribute__((visibility("default"))) ssize_t recvfrom(int fd, void* buf, size_t len,
                                                                   int flags, struct sockaddr* addr,
                                                                   socklen_t* addrlen) {
    const recvfrom_fn real = real_recvfrom;
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const ssize_t n = real(fd, buf, len, flags, addr, addrlen);
    if (n >= 0 && addrlen != nullptr) {
        show_as_kernel(addr, *addrlen);
    }
    return n;
}
