// libFuzzer target for the multicast receive path: datagrams of any length
// (0 to 65,507 bytes, the most a UDP datagram over IPv4 carries) and content
// through alloc_cb and udp_recv_cb as libuv calls them for a datagram with a
// sender, one after another in the one receive buffer.
//
// The input is a list of up to 64 datagrams, each two length bytes
// (little-endian) and then that many bytes (fewer at the end of the input). Each must print
// one line: its first six bytes as an address, zeros for the bytes it lacks.
// Standard output goes to a memory file that is read back per datagram.
#include <netinet/in.h>
#include <sys/mman.h>
#include <unistd.h>
#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "multicast.h"

namespace {

constexpr size_t max_datagram = 65507;
// Each datagram clears the whole 64 KiB buffer: more per input would only slow
// the run down.
constexpr int max_datagrams = 64;
int output_fd = -1;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "udp_reply_fuzz: %s\n", what);
    abort();
}

void start_output() {
    if (ftruncate(output_fd, 0) != 0 || lseek(output_fd, 0, SEEK_SET) != 0) {
        fail("cannot empty the output file");
    }
}

// The bytes printed since start_output().
size_t read_output(char* out, size_t room) {
    fflush(stdout);
    ssize_t n = pread(output_fd, out, room, 0);
    if (n < 0) {
        fail("cannot read the output file");
    }
    return static_cast<size_t>(n);
}

void receive(const uint8_t* bytes, size_t length) {
    uv_udp_t handle;
    memset(&handle, 0, sizeof handle);
    struct sockaddr_in sender;
    memset(&sender, 0, sizeof sender);
    sender.sin_family = AF_INET;
    sender.sin_port = htons(40000);
    sender.sin_addr.s_addr = htonl(0x0a000002);

    uv_buf_t buf = uv_buf_init(nullptr, 0);
    alloc_cb(reinterpret_cast<uv_handle_t*>(&handle), 65536, &buf);
    if (buf.base == nullptr || buf.len < max_datagram) {
        fail("receive buffer too small for a datagram");
    }
    if (length != 0) {
        memcpy(buf.base, bytes, length);
    }
    start_output();
    udp_recv_cb(&handle, static_cast<ssize_t>(length), &buf,
                reinterpret_cast<const struct sockaddr*>(&sender), 0);

    unsigned char mac[6] = {0, 0, 0, 0, 0, 0};
    memcpy(mac, bytes, length < 6 ? length : 6);
    char expected[32];
    const int n = snprintf(expected, sizeof expected, "%02x:%02x:%02x:%02x:%02x:%02x\n", mac[0],
                           mac[1], mac[2], mac[3], mac[4], mac[5]);
    char printed[64];
    const size_t got = read_output(printed, sizeof printed);
    if (got != static_cast<size_t>(n) || memcmp(printed, expected, got) != 0) {
        fail("the printed address is not the datagram's first six bytes");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    output_fd = memfd_create("udp_reply_fuzz", 0);
    if (output_fd < 0 || dup2(output_fd, STDOUT_FILENO) < 0) {
        fail("cannot send standard output to a memory file");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t pos = 0;
    int count = 0;
    do {
        size_t length = 0;
        if (pos + 2 <= size) {
            length = data[pos] | static_cast<size_t>(data[pos + 1]) << 8;
            pos += 2;
        }
        if (length > size - pos) {
            length = size - pos;
        }
        if (length > max_datagram) {
            length = max_datagram;
        }
        receive(data + pos, length);
        pos += length;
    } while (pos < size && ++count < max_datagrams);
    return 0;
}
