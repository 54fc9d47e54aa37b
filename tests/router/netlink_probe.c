/* Tells whether this machine (or the emulator it runs under) lets a program
 * open the kernel module's netlink protocol. Prints "supported" and exits 0,
 * or prints the reason and exits 1. */
#include <errno.h>
#include <linux/netlink.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void) {
    int fd = socket(AF_NETLINK, SOCK_RAW, NETLINK_USERSOCK);
    if (fd < 0) {
        printf("netlink protocol %d: %s\n", NETLINK_USERSOCK, strerror(errno));
        return 1;
    }
    close(fd);
    printf("netlink protocol %d: supported\n", NETLINK_USERSOCK);
    return 0;
}
