// What the target's C library and kernel may or may not provide, behind one
// small interface. The build picks one source file per feature after probing
// for it (cmake/portability.cmake); every feature has a fallback that a small
// C library (uClibc-ng, musl) or an older kernel can run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Closes every descriptor from `lowest` up with one close_range call. Returns
// false, closing nothing, when the build has no close_range or the kernel
// refuses it (before Linux 5.9); the caller then closes them itself.
bool close_range_from(int lowest);

// The memory page size.
size_t page_size();

// Asks the netlink socket `fd` to drop silently rather than fail a read with
// ENOBUFS when its receive queue overflows. Returns whether the option is set.
bool netlink_no_enobufs(int fd);

// The number of datagrams the kernel dropped on socket `fd` because its
// receive queue was full. Returns false when the kernel cannot tell.
bool socket_drop_count(int fd, uint32_t& drops);

// Sends one error line to the system log, where there is one.
void system_log_error(const char* message);
// Sends one line of news (a connection made again) to the system log.
void system_log_notice(const char* message);
