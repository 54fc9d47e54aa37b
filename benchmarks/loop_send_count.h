// Datagrams libuv sends, counted by this program's own sendmsg, sendmmsg and
// syscall, which stand in front of the C library's (libuv's batched sends go
// through syscall(SYS_sendmmsg)). Plain sendto is not counted.
#pragma once

#include <cstdint>

// Every datagram sent through sendmsg or sendmmsg so far.
uint64_t loop_sent();
// The sendmmsg calls so far, and the datagrams they sent.
uint64_t sendmmsg_calls();
uint64_t sendmmsg_sent();
