#include <linux/sock_diag.h>
#include <sys/socket.h>

#include "platform.h"

bool socket_drop_count(int fd, uint32_t& drops) {
    uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof meminfo;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &len) != 0 ||
        len <= SK_MEMINFO_DROPS * sizeof(uint32_t)) {
        return false;
    }
    drops = meminfo[SK_MEMINFO_DROPS];
    return true;
}
