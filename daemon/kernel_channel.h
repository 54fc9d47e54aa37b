// The daemon's end of the netlink channel to the kernel module: registration
// at start, then one probe record per datagram into the probe queue.
#pragma once

#include <uv.h>

#include <cstddef>
#include <cstdint>

struct NlSession;

// Thread 0: prints the console header, opens and binds the netlink socket,
// has the loop thread watch it, then sends the registration and ends.
void worker_mac80211_connect(void* arg);

// Poll callback on the loop thread: drains every pending datagram.
void nl_poll_cb(uv_poll_t* handle, int status, int events);

// Decodes one received datagram and queues its record; counts a record the
// queue turns away. Returns true when a record was queued.
bool accept_datagram(NlSession* session, const uint8_t* data, size_t length);

// Probe messages the kernel dropped because our receive queue was full.
uint32_t kernel_drop_count(NlSession* session);
