// The stand-in's registration check, field by field, against the daemon's own
// registration builder; and the wait for it on real netlink sockets.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "netlink_endpoint.h"
#include "probe_record.h"
#include "registration_check.h"
#include "registration_wait.h"

namespace {

std::vector<uint8_t> good() {
    return std::vector<uint8_t>(standin::expected_registration,
                                standin::expected_registration + standin::registration_size);
}

std::string problem(const std::vector<uint8_t>& bytes) {
    return standin::registration_problem(bytes.data(), bytes.size());
}

TEST(StandinRegistration, AcceptsWhatTheDaemonBuilds) {
    uint8_t buf[64] = {};
    ASSERT_EQ(build_registration(buf, 1), 32u);
    EXPECT_EQ(standin::registration_problem(buf, 32), "");
    EXPECT_EQ(memcmp(buf, standin::expected_registration, 32), 0);
}

TEST(StandinRegistration, DatagramLength) {
    std::vector<uint8_t> bytes = good();
    bytes.resize(28);
    EXPECT_EQ(problem(bytes), "length 28, expected 32");
    bytes = good();
    bytes.push_back(0);
    EXPECT_EQ(problem(bytes), "length 33, expected 32");
    EXPECT_EQ(standin::registration_problem(nullptr, 0), "length 0, expected 32");
}

struct WrongField {
    size_t offset;
    std::vector<uint8_t> bytes;
    const char* problem;
};

class StandinRegistrationField : public ::testing::TestWithParam<WrongField> {};

TEST_P(StandinRegistrationField, EachWrongFieldIsNamed) {
    std::vector<uint8_t> bytes = good();
    const WrongField& w = GetParam();
    std::copy(w.bytes.begin(), w.bytes.end(), bytes.begin() + static_cast<long>(w.offset));
    EXPECT_EQ(problem(bytes), w.problem);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, StandinRegistrationField,
    ::testing::Values(
        WrongField{0, {28, 0, 0, 0}, "header length 28, expected 32"},
        WrongField{4, {0x01, 0x04}, "type 1025, expected 1024"},
        WrongField{4, {0x04, 0x00}, "type 4, expected 1024"},
        WrongField{6, {0x01, 0x03}, "flags 0x0301, expected 0x030B"},
        WrongField{6, {0x0B, 0x07}, "flags 0x070B, expected 0x030B"},
        WrongField{8, {2, 0, 0, 0}, "sequence 2, expected 1"},
        WrongField{8, {0, 0, 0, 1}, "sequence 16777216, expected 1"},
        WrongField{12, {0x39, 0x30, 0, 0}, "header port id 12345, expected 0"},
        WrongField{16, {16, 0}, "attribute length 16, expected 15"},
        WrongField{18, {0xD2, 0x84}, "attribute type 34002, expected 1234"},
        WrongField{18, {0xD3, 0x04}, "attribute type 1235, expected 1234"},
        WrongField{20, {'h'}, "attribute data \"helloKernel\", expected \"HelloKernel\""},
        WrongField{30, {0}, "attribute data \"HelloKerne\\x00\", expected \"HelloKernel\""},
        WrongField{31, {'!'}, "padding byte 0x21, expected 0x00"}));

// Two sockets of this process: the stand-in's endpoint on a kernel-chosen
// port and a daemon-side socket sending to it.
class StandinWait : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(endpoint_.open(0, error)) << error;
        ASSERT_NE(endpoint_.port(), 0u);
        fd_ = socket(AF_NETLINK, SOCK_RAW, NETLINK_USERSOCK);
        ASSERT_GE(fd_, 0);
        struct sockaddr_nl self = {};
        self.nl_family = AF_NETLINK;
        ASSERT_EQ(bind(fd_, reinterpret_cast<struct sockaddr*>(&self), sizeof self), 0);
        socklen_t len = sizeof self;
        ASSERT_EQ(getsockname(fd_, reinterpret_cast<struct sockaddr*>(&self), &len), 0);
        daemon_port_ = self.nl_pid;
    }
    void TearDown() override { close(fd_); }
    void send(const std::vector<uint8_t>& bytes) {
        struct sockaddr_nl to = {};
        to.nl_family = AF_NETLINK;
        to.nl_pid = endpoint_.port();
        ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0,
                         reinterpret_cast<struct sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }
    standin::NetlinkEndpoint endpoint_;
    int fd_ = -1;
    uint32_t daemon_port_ = 0;
};

TEST_F(StandinWait, RejectsOthersThenTakesThePortFromTheSender) {
    send({1, 2, 3, 4});
    std::vector<uint8_t> wrong_seq = good();
    wrong_seq[8] = 7;
    send(wrong_seq);
    std::vector<uint8_t> big(70000, 0);
    send(big);
    send(good());

    std::ostringstream rejections;
    standin::Registration registration;
    ASSERT_EQ(standin::wait_for_registration(endpoint_, 5, registration, rejections),
              standin::WaitResult::registered);
    EXPECT_EQ(rejections.str(),
              "rejected: length 4, expected 32\n"
              "rejected: sequence 7, expected 1\n"
              "rejected: length 70000, expected 32\n");
    // The header's port id is 0; the port comes from the sender's address.
    EXPECT_EQ(registration.daemon_port, daemon_port_);
    EXPECT_EQ(registration.bytes, good());
}

TEST_F(StandinWait, GivesUpAfterTheWait) {
    send({1, 2, 3});
    std::ostringstream rejections;
    standin::Registration registration;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(standin::wait_for_registration(endpoint_, 0.3, registration, rejections),
              standin::WaitResult::timed_out);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.29);
    EXPECT_LT(waited, 2.0);
    EXPECT_EQ(rejections.str(), "rejected: length 3, expected 32\n");
    EXPECT_EQ(registration.daemon_port, 0u);
}

}  // namespace
