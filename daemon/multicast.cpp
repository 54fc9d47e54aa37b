#include "multicast.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "console_log.h"

namespace {

const char greeting[] = "HelloMACrecver";
constexpr size_t greeting_length = sizeof greeting - 1;  // sent without its NUL

// The only receive buffer: each datagram is consumed before the next one.
constexpr size_t udp_recv_buf_size = 65536;
char udp_recv_buf[udp_recv_buf_size];

// One outgoing datagram: the send request first, so that the completion
// callback frees the request and the bytes together.
struct Datagram {
    uv_udp_send_t req;
    MulticastChannel* channel;
    uv_udp_send_cb done;
    size_t length;
    char bytes[1];
};

void submit_datagram(void* arg) {
    auto* d = static_cast<Datagram*>(arg);
    MulticastChannel& channel = *d->channel;
    uv_buf_t buf = uv_buf_init(d->bytes, static_cast<unsigned>(d->length));
    int r = uv_udp_send(&d->req, &channel.udp_handle_, &buf, 1,
                        reinterpret_cast<const struct sockaddr*>(&channel.mcast_dest_), d->done);
    fatal_check(r == 0, d->done == multicast_send_cb ? site::greeting_send : site::report_send);
}

void drop_datagram(void* arg) {
    free(arg);
}

}  // namespace

int setup_multicast(MulticastChannel& channel, uv_loop_t* loop, const Options& options) {
    int r = uv_ip4_addr(options.mcast_addr.c_str(), options.port, &channel.mcast_dest_);
    fatal_check(r == 0, site::mcast_dest);
    r = uv_udp_init(loop, &channel.udp_handle_);
    fatal_check(r == 0, site::udp_init);
    r = uv_udp_set_membership(&channel.udp_handle_, options.mcast_addr.c_str(), nullptr,
                              UV_JOIN_GROUP);
    if (r == UV_ENODEV) {
        fprintf(stderr, "%s\n", "No multicast support.");
    }
    fatal_check(r == 0, site::mcast_join);
    return 0;
}

bool queue_datagram(MulticastChannel& channel, const void* bytes, size_t length,
                    uv_udp_send_cb done) {
    auto* d = static_cast<Datagram*>(malloc(offsetof(Datagram, bytes) + length + 1));
    if (d == nullptr) {
        return false;
    }
    memset(&d->req, 0, sizeof d->req);
    d->channel = &channel;
    d->done = done;
    d->length = length;
    memcpy(d->bytes, bytes, length);
    if (!channel.handover_->post(LoopTask{submit_datagram, drop_datagram, d})) {
        free(d);
        return false;
    }
    return true;
}

void send_greeting(MulticastChannel& channel) {
    // The hand-over runs it on the loop thread, which only starts after the
    // multicast handle has been set up.
    queue_datagram(channel, greeting, greeting_length, multicast_send_cb);
}

void multicast_send_cb(uv_udp_send_t* req, int /*status*/) {
    log_enter("multicast_send_cb");
    fatal_check(req != nullptr, site::greeting_req);
    int r = uv_udp_recv_start(req->handle, alloc_cb, udp_recv_cb);
    fatal_check(r == 0, site::recv_start);
    free(req);
}

void report_send_cb(uv_udp_send_t* req, int /*status*/) {
    fatal_check(req != nullptr, site::report_req);
    free(req);
}

void alloc_cb(uv_handle_t* /*handle*/, size_t /*suggested_size*/, uv_buf_t* buf) {
    log_trace(3, "alloc_cb", trace_site::alloc_cb_line);
    *buf = uv_buf_init(udp_recv_buf, udp_recv_buf_size);
    memset(udp_recv_buf, 0, udp_recv_buf_size);
}

void udp_recv_cb(uv_udp_t* /*handle*/, ssize_t nread, const uv_buf_t* buf,
                 const struct sockaddr* addr, unsigned flags) {
    log_trace(1, "udp_recv_cb", trace_site::udp_recv_cb_line);
    fatal_check(nread >= 0, site::recv_error);
    if (nread == 0 && addr == nullptr) {
        return;  // nothing more to read
    }
    if (nread > 0) {
        fatal_check(flags == 0, site::recv_flags);
        fatal_check(addr != nullptr, site::recv_addr);
    }
    // An empty datagram shows as six zero bytes, like the missing bytes of
    // any datagram shorter than an address.
    print_mac(reinterpret_cast<const unsigned char*>(buf->base));
}

void print_mac(const unsigned char* bytes) {
    printf("%02x:%02x:%02x:%02x:%02x:%02x\n", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
           bytes[5]);
}
