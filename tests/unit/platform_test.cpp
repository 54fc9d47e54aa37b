// The platform features the build chose (daemon/platform): each test knows
// from VORLASK_FEATURE_<NAME> whether it has the feature or its fallback, so
// that the fallback configuration tests the fallbacks and checks that they
// were really taken.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture.h"
#include "daemon_mode.h"
#include "platform/platform.h"

#ifndef SOL_NETLINK
#define SOL_NETLINK 270
#endif

namespace {

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

TEST(Platform, CloseRangeClosesFromTheLowestUpOrNothingAtAll) {
    // In a child: the descriptors belong to it alone.
    auto r = run_in_child([] {
        int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 40) != 40 || dup2(null, 41) != 41 || dup2(null, 300) != 300) {
            _exit(10);
        }
        errno = 0;
        const bool closed = close_range_from(41);
        const int error = errno;
        const bool low = is_open(40), mid = is_open(41), high = is_open(300);
        if (closed) {
            _exit(low && !mid && !high ? 0 : 11);
        }
        if (!(low && mid && high)) {
            _exit(12);  // reported failure, yet something was closed
        }
        _exit(error == ENOSYS ? 20 : 21);
    });
    ASSERT_TRUE(r.exited());
#if VORLASK_FEATURE_CLOSE_RANGE
    if (r.exit_code() == 20) {
        GTEST_SKIP() << "the kernel (or the emulator) has no close_range";
    }
    EXPECT_EQ(r.exit_code(), 0);
#else
    EXPECT_EQ(r.exit_code(), 21) << "the fallback build must not call close_range";
#endif
}

TEST(Platform, DescriptorsAreClosedWhicheverWayIsAvailable) {
    auto r = run_in_child([] {
        int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 60) != 60 || dup2(null, 61) != 61 || dup2(null, 900) != 900) {
            _exit(10);
        }
        close_descriptors_from(61, 1024);
        _exit(is_open(60) && !is_open(61) && !is_open(900) ? 0 : 1);
    });
    ASSERT_TRUE(r.exited());
    EXPECT_EQ(r.exit_code(), 0);
}

TEST(Platform, PageSizeIsTheSystemsPageSize) {
    const size_t size = page_size();
    EXPECT_EQ(size, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_GE(size, 4096u);
    EXPECT_EQ(size & (size - 1), 0u) << "not a power of two: " << size;
}

class PlatformDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/platform_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        ASSERT_EQ(mkdir((dir_ + "/real").c_str(), 0700), 0);
        ASSERT_EQ(symlink("real", (dir_ + "/link").c_str()), 0);
    }
    void TearDown() override {
        unlink((dir_ + "/link").c_str());
        rmdir((dir_ + "/real").c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_;
};

TEST_F(PlatformDirectory, NameThroughASymbolicLinkFollowsTheFeature) {
    const std::string link = dir_ + "/link";
    const std::string real = dir_ + "/real";
    auto r = run_in_child([&] {
        if (chdir(link.c_str()) != 0 || setenv("PWD", link.c_str(), 1) != 0) {
            _exit(10);
        }
        printf("%s", current_directory().c_str());
    });
    ASSERT_TRUE(r.exited());
    ASSERT_EQ(r.exit_code(), 0);
#if VORLASK_FEATURE_GET_CURRENT_DIR_NAME
    EXPECT_EQ(r.out, link) << "get_current_dir_name keeps the shell's name";
#else
    EXPECT_EQ(r.out, real) << "getcwd gives the physical path";
#endif
}

TEST_F(PlatformDirectory, AStalePwdIsNotBelieved) {
    const std::string real = dir_ + "/real";
    auto r = run_in_child([&] {
        if (chdir(real.c_str()) != 0 || setenv("PWD", "/", 1) != 0) {
            _exit(10);
        }
        printf("%s", current_directory().c_str());
    });
    ASSERT_TRUE(r.exited());
    ASSERT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, real);
}

TEST(Platform, NetlinkNoEnobufsIsSetExactlyWhenReported) {
    int fd = socket(AF_NETLINK, SOCK_RAW, NETLINK_USERSOCK);
    ASSERT_GE(fd, 0) << strerror(errno);
    const bool set = netlink_no_enobufs(fd);
    int value = -1;
    socklen_t len = sizeof value;
    ASSERT_EQ(getsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &value, &len), 0);
    close(fd);
#if VORLASK_FEATURE_NETLINK_NO_ENOBUFS
    EXPECT_TRUE(set);
    EXPECT_EQ(value, 1);
#else
    EXPECT_FALSE(set);
    EXPECT_EQ(value, 0);
#endif
}

// A UDP socket on the loopback with the smallest receive buffer, flooded
// without reading: the kernel drops what does not fit.
TEST(Platform, SocketDropCountCountsOverflowDrops) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    int small = 1;
    ASSERT_EQ(setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(rx, reinterpret_cast<struct sockaddr*>(&addr), &len), 0);

    uint32_t before = 12345;
    const bool told = socket_drop_count(rx, before);
    char payload[512] = {};
    for (int i = 0; i < 200; ++i) {
        sendto(tx, payload, sizeof payload, 0, reinterpret_cast<struct sockaddr*>(&addr),
               sizeof addr);
    }
    uint32_t after = 0;
    const bool told_after = socket_drop_count(rx, after);
    close(rx);
    close(tx);
    EXPECT_EQ(told, told_after);
#if VORLASK_FEATURE_SO_MEMINFO
    if (!told) {
        GTEST_SKIP() << "the kernel (or the emulator) does not answer SO_MEMINFO";
    }
    EXPECT_EQ(before, 0u);
    EXPECT_GT(after, 0u);
    EXPECT_LT(after, 200u);
#else
    EXPECT_FALSE(told);
    EXPECT_EQ(before, 12345u) << "the fallback must leave the count alone";
#endif
}

}  // namespace
