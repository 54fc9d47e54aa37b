#include <linux/netlink.h>
#include <sys/socket.h>

#include "platform.h"

#ifndef SOL_NETLINK
#define SOL_NETLINK 270
#endif

bool netlink_no_enobufs(int fd) {
    int on = 1;
    return setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on) == 0;
}
