// The multicast channel: one UDP handle joined to the group, the greeting
// sent once at start, the datagrams that come back, and the hand-over of
// every outgoing datagram to the loop thread.
#pragma once

#include <netinet/in.h>
#include <uv.h>

#include <cstddef>

#include "loop_handover.h"
#include "settings.h"

// The UDP handle joined to the group and the group's address; datagrams reach
// the loop thread through `handover_` (wired when the session is built).
struct MulticastChannel {
    uv_udp_t udp_handle_;
    struct sockaddr_in mcast_dest_;
    LoopHandover* handover_;
};

// Main thread, before the loop runs: destination, handle, group membership.
int setup_multicast(MulticastChannel& channel, uv_loop_t* loop, const Options& options);

// Sends the greeting once, through the loop thread (thread 3's work).
void send_greeting(MulticastChannel& channel);

// Queues one datagram of `length` bytes (copied) to the group. Callable from
// any thread; never waits for the loop thread. The bytes live with their send
// request until `done` frees both. Returns false when the daemon is stopping
// and nothing was queued.
bool queue_datagram(MulticastChannel& channel, const void* bytes, size_t length,
                    uv_udp_send_cb done);

void multicast_send_cb(uv_udp_send_t* req, int status);
void report_send_cb(uv_udp_send_t* req, int status);
void alloc_cb(uv_handle_t* handle, size_t suggested_size, uv_buf_t* buf);
void udp_recv_cb(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buf, const struct sockaddr* addr,
                 unsigned flags);
void print_mac(const unsigned char* bytes);
