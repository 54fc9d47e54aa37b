// libFuzzer target for the kernel channel: datagrams of any length and
// content through the decode and queue step of the netlink poll callback,
// then from the probe queue into the table the way the receive worker folds
// them, with scans in between as the scan worker runs them.
//
// The input is a list of steps, each starting with an operation byte:
//   op % 4 == 0 or 1   a datagram: two length bytes (little-endian), then that
//                      many bytes (fewer at the end of the input); bit 2 of op
//                      also dumps it at verbosity 4 as the poll callback does
//   op % 4 == 2        drain the queue: with bit 2 of op through fold_probe
//                      into a table whose capacity is the next byte, else
//                      through add_probe
//   op % 4 == 3        a scan with the keep threshold op >> 2
// After each step the table, its index and the counters must agree.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console_log.h"
#include "kernel_channel.h"
#include "probe_table.h"
#include "scan.h"
#include "session.h"

namespace {

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "kernel_datagram_fuzz: %s\n", what);
    abort();
}

struct Session {
    NlSession* session = create_session();
    Session() { session->running.store(true); }
    ~Session() { destroy_session(session); }
};

// What the steps so far must have left in the table.
struct Expected {
    uint64_t accepted = 0;      // datagrams that were queued
    uint64_t hits_folded = 0;   // records folded into the table
    uint64_t hits_dropped = 0;  // counts of the entries the scans removed
};

// The scans here print and send nothing.
const ScanSinks no_outputs = {};

uint64_t hits_in_table(const ProbeList& list) {
    uint64_t sum = 0;
    for (const ProbeEntry& entry : list) {
        sum += entry.count;
    }
    return sum;
}

void check(NlSession* session, const Expected& expected) {
    const ProbeList& list = session->table_.probe_list;
    if (session->table_.probe_index_.size() != list.size()) {
        fail("index and table differ in size");
    }
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].record == nullptr || list[i].count == 0) {
            fail("table entry without record or hits");
        }
        if (session->table_.probe_index_.find(list[i].record->mac) != static_cast<long>(i)) {
            fail("index does not lead to the entry");
        }
    }
    if (session->counters_.queued.load() != expected.accepted) {
        fail("queued count differs from the datagrams accepted");
    }
    if (hits_in_table(list) + expected.hits_dropped + session->counters_.table_full.load() !=
        expected.hits_folded) {
        fail("a folded record is neither counted, dropped nor turned away");
    }
}

void drain(NlSession* session, Expected& expected, bool direct, size_t capacity) {
    while (session->probe_queue_.size() != 0) {
        ProbeRecord* record = session->probe_queue_.pop();
        if (record == nullptr) {
            fail("open queue gave no record");
        }
        expected.hits_folded += 1;
        if (!direct) {
            add_probe(session->table_, session->counters_, record);
            continue;
        }
        uv_rwlock_wrlock(&session->table_.list_mac_rwlock_);
        const ClockReading now = clock_reading_at(0, 0);
        if (fold_probe(session->table_.probe_list, session->table_.probe_index_, record, now,
                       capacity) == FoldResult::turned_away) {
            session->counters_.table_full.fetch_add(1);
        }
        uv_rwlock_wrunlock(&session->table_.list_mac_rwlock_);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The hex dump of the poll callback goes to standard output.
    int fd = open("/dev/null", O_WRONLY);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
        fail("cannot send standard output to /dev/null");
    }
    close(fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Session owner;
    NlSession* session = owner.session;
    Expected expected;
    size_t pos = 0;
    while (pos < size) {
        const uint8_t op = data[pos++];
        switch (op % 4) {
            case 0:
            case 1: {
                size_t length = 0;
                if (pos + 2 <= size) {
                    length = data[pos] | static_cast<size_t>(data[pos + 1]) << 8;
                    pos += 2;
                }
                if (length > size - pos) {
                    length = size - pos;
                }
                // The datagram is copied so that reading past its end shows.
                auto* datagram = new uint8_t[length];
                if (length != 0) {
                    memcpy(datagram, data + pos, length);
                }
                pos += length;
                if ((op & 4) != 0) {
                    verbosity = 4;
                    log_hex(4, datagram, static_cast<uint32_t>(length));
                    verbosity = 0;
                }
                const bool queued = accept_datagram(session->kernel_, datagram, length);
                delete[] datagram;
                if (queued != (length >= probe_datagram_min)) {
                    fail("a datagram was taken or refused against its length");
                }
                if (queued) {
                    expected.accepted += 1;
                }
                break;
            }
            case 2: {
                size_t capacity = probe_table_capacity;
                if ((op & 4) != 0 && pos < size) {
                    capacity = data[pos++];
                }
                drain(session, expected, (op & 4) != 0, capacity);
                break;
            }
            default: {
                session->options_.randommax = static_cast<uint16_t>(op >> 2);
                uv_rwlock_wrlock(&session->table_.list_mac_rwlock_);
                const uint64_t before = hits_in_table(session->table_.probe_list);
                scan_table(session->table_, session->options_.randommax, no_outputs,
                           session->counters_);
                expected.hits_dropped += before - hits_in_table(session->table_.probe_list);
                uv_rwlock_wrunlock(&session->table_.list_mac_rwlock_);
                break;
            }
        }
        check(session, expected);
    }
    // What the run leaves queued is folded and scanned once more, as the
    // daemon would before its summary.
    drain(session, expected, false, probe_table_capacity);
    check(session, expected);
    return 0;
}
