#include "listen_socket.h"

#include <uv.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "report_decode.h"

namespace {

struct Listener {
    const ListenOptions* options;
    uv_loop_t loop;
    uv_udp_t udp;
    uv_timer_t timer;
    bool timer_started = false;
    uint64_t seen = 0;
    unsigned pending_sends = 0;
    bool finishing = false;
    int status = 0;
    char buf[65536];
};

std::string sender_text(const struct sockaddr* addr) {
    if (addr == nullptr || addr->sa_family != AF_INET) {
        return "?";
    }
    const auto* in = reinterpret_cast<const struct sockaddr_in*>(addr);
    char name[INET_ADDRSTRLEN] = "";
    uv_ip4_name(in, name, sizeof name);
    return std::string(name) + ":" + std::to_string(ntohs(in->sin_port));
}

void close_all(Listener* l) {
    uv_close(reinterpret_cast<uv_handle_t*>(&l->udp), nullptr);
    if (l->timer_started) {
        uv_close(reinterpret_cast<uv_handle_t*>(&l->timer), nullptr);
    }
}

// Stops receiving; the handles close once every reply has gone out.
void finish(Listener* l, int status) {
    if (l->finishing) {
        return;
    }
    l->finishing = true;
    l->status = status;
    uv_udp_recv_stop(&l->udp);
    if (l->timer_started) {
        uv_timer_stop(&l->timer);
    }
    if (l->pending_sends == 0) {
        close_all(l);
    }
}

void reply_sent_cb(uv_udp_send_t* req, int status) {
    auto* l = static_cast<Listener*>(req->data);
    if (status != 0) {
        fprintf(stderr, "vorlask-listen: reply failed: %s\n", uv_strerror(status));
    }
    free(req);
    --l->pending_sends;
    if (l->finishing && l->pending_sends == 0) {
        close_all(l);
    }
}

void send_reply(Listener* l, const struct sockaddr* to, const std::string& sender) {
    auto* req = static_cast<uv_udp_send_t*>(malloc(sizeof(uv_udp_send_t)));
    if (req == nullptr) {
        return;
    }
    req->data = l;
    const std::vector<uint8_t>& bytes = l->options->reply;
    uv_buf_t buf = uv_buf_init(reinterpret_cast<char*>(const_cast<uint8_t*>(bytes.data())),
                               static_cast<unsigned>(bytes.size()));
    int r = uv_udp_send(req, &l->udp, &buf, 1, to, reply_sent_cb);
    if (r != 0) {
        fprintf(stderr, "vorlask-listen: reply to %s failed: %s\n", sender.c_str(), uv_strerror(r));
        free(req);
        return;
    }
    ++l->pending_sends;
    printf("reply %zu bytes to %s\n", bytes.size(), sender.c_str());
}

void alloc_cb(uv_handle_t* handle, size_t /*suggested*/, uv_buf_t* buf) {
    auto* l = static_cast<Listener*>(handle->data);
    *buf = uv_buf_init(l->buf, sizeof l->buf);
}

void recv_cb(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buf, const struct sockaddr* addr,
             unsigned /*flags*/) {
    auto* l = static_cast<Listener*>(handle->data);
    if (nread < 0) {
        fprintf(stderr, "vorlask-listen: receive failed: %s\n",
                uv_strerror(static_cast<int>(nread)));
        finish(l, 1);
        return;
    }
    if (addr == nullptr || l->finishing) {
        return;  // nothing more to read
    }
    std::string sender = sender_text(addr);
    Datagram d =
        parse_datagram(reinterpret_cast<const uint8_t*>(buf->base), static_cast<size_t>(nread));
    printf("%s\n", describe_datagram(d, sender).c_str());
    if (l->options->send_reply && d.kind != DatagramKind::other) {
        send_reply(l, addr, sender);
    }
    ++l->seen;
    if (l->options->count != 0 && l->seen >= l->options->count) {
        finish(l, 0);
    }
}

void timeout_cb(uv_timer_t* handle) {
    auto* l = static_cast<Listener*>(handle->data);
    bool short_count = l->options->count != 0 && l->seen < l->options->count;
    if (short_count) {
        fprintf(stderr, "vorlask-listen: timeout after %u s with %llu of %llu datagrams\n",
                l->options->timeout, static_cast<unsigned long long>(l->seen),
                static_cast<unsigned long long>(l->options->count));
    }
    finish(l, short_count ? 3 : 0);
}

int fail(const char* what, const ListenOptions& options, int r) {
    fprintf(stderr, "vorlask-listen: %s %s:%u: %s\n", what, options.group.c_str(), options.port,
            uv_strerror(r));
    return 1;
}

}  // namespace

int run_listener(const ListenOptions& options) {
    auto* l = new Listener();
    l->options = &options;
    int status = 1;
    struct sockaddr_in any;
    int r = uv_loop_init(&l->loop);
    if (r != 0) {
        delete l;
        return fail("cannot start loop for", options, r);
    }
    uv_udp_init(&l->loop, &l->udp);
    l->udp.data = l;
    uv_ip4_addr("0.0.0.0", options.port, &any);
    // Other receivers of the group may share the port.
    r = uv_udp_bind(&l->udp, reinterpret_cast<const struct sockaddr*>(&any), UV_UDP_REUSEADDR);
    if (r != 0) {
        status = fail("cannot bind", options, r);
    } else if ((r = uv_udp_set_membership(&l->udp, options.group.c_str(), nullptr,
                                          UV_JOIN_GROUP)) != 0) {
        status = fail("cannot join", options, r);
    } else if ((r = uv_udp_recv_start(&l->udp, alloc_cb, recv_cb)) != 0) {
        status = fail("cannot receive on", options, r);
    } else {
        if (options.timeout != 0) {
            uv_timer_init(&l->loop, &l->timer);
            l->timer.data = l;
            l->timer_started = true;
            uv_timer_start(&l->timer, timeout_cb, uint64_t(options.timeout) * 1000, 0);
        }
        printf("listening on %s:%u\n", options.group.c_str(), options.port);
        fflush(stdout);
        uv_run(&l->loop, UV_RUN_DEFAULT);
        status = l->status;
    }
    if (!l->finishing) {
        uv_close(reinterpret_cast<uv_handle_t*>(&l->udp), nullptr);
        uv_run(&l->loop, UV_RUN_DEFAULT);
    }
    uv_loop_close(&l->loop);
    delete l;
    return status;
}
