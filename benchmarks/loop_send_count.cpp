#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "loop_send_count.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<uint64_t> sent_total{0};
std::atomic<uint64_t> batch_calls{0};
std::atomic<uint64_t> batch_sent{0};

void count_sendmmsg(long sent) {
    if (sent > 0) {
        sent_total.fetch_add(static_cast<uint64_t>(sent), std::memory_order_relaxed);
        batch_sent.fetch_add(static_cast<uint64_t>(sent), std::memory_order_relaxed);
        batch_calls.fetch_add(1, std::memory_order_relaxed);
    }
}

template <typename Fn>
Fn next_symbol(const char* name) {
    Fn fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    if (fn == nullptr) {
        fprintf(stderr, "handover_bench: no %s to forward to\n", name);
        abort();
    }
    return fn;
}

}  // namespace

uint64_t loop_sent() {
    return sent_total.load(std::memory_order_relaxed);
}

uint64_t sendmmsg_calls() {
    return batch_calls.load();
}

uint64_t sendmmsg_sent() {
    return batch_sent.load();
}

extern "C" ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    static auto real = next_symbol<ssize_t (*)(int, const struct msghdr*, int)>("sendmsg");
    ssize_t r = real(fd, message, flags);
    if (r >= 0) {
        sent_total.fetch_add(1, std::memory_order_relaxed);
    }
    return r;
}

extern "C" int sendmmsg(int fd, struct mmsghdr* messages, unsigned int count, int flags) {
    static auto real = next_symbol<int (*)(int, struct mmsghdr*, unsigned int, int)>("sendmmsg");
    int r = real(fd, messages, count, flags);
    count_sendmmsg(r);
    return r;
}

// Every system call number takes at most six arguments, each passed as a
// long on the targets this runs on.
extern "C" long syscall(long number, ...) noexcept {
    static auto real = next_symbol<long (*)(long, ...)>("syscall");
    va_list args;
    va_start(args, number);
    long a[6];
    for (long& x : a) {
        x = va_arg(args, long);
    }
    va_end(args);
    long r = real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (number == SYS_sendmmsg) {
        count_sendmmsg(r);
    }
    return r;
}
