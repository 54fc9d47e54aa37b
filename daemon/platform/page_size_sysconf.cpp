#include <unistd.h>

#include "platform.h"

// getpagesize is not POSIX; sysconf is. 4 KiB when even that cannot tell.
size_t page_size() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : 4096;
}
