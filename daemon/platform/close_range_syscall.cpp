#include <sys/syscall.h>
#include <unistd.h>

#include "platform.h"

// Through syscall(2): C libraries older than glibc 2.34 (musl, uClibc-ng)
// have no close_range wrapper, but the kernel's call is the same.
bool close_range_from(int lowest) {
    return syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0u, 0u) == 0;
}
