#include "handover_throughput.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "loop_send_count.h"
#include "multicast.h"
#include "probe_report.h"
#include "session.h"

namespace {

// The measurement whose datagrams are in flight: a send callback gets only
// its request.
HandoverThroughput* current = nullptr;

void counted_send_cb(uv_udp_send_t* req, int status) {
    free(req);  // the request heads the datagram's one allocation
    if (status != 0) {
        current->completion_errors.fetch_add(1);
    }
    if (current->completions.fetch_add(1) + 1 == current->completion_target) {
        current->last_completion_ns.store(now_ns());
    }
}

std::vector<std::string> render_reports(NlSession* session, size_t count) {
    std::vector<std::string> texts;
    texts.reserve(count);
    uv_rwlock_rdlock(&session->table_.list_mac_rwlock_);
    const ProbeList& list = session->table_.probe_list;
    for (size_t i = 0; i < count; ++i) {
        std::string text;
        render_probe_report(list[i % list.size()].record->mac, text);
        texts.push_back(text);
    }
    uv_rwlock_rdunlock(&session->table_.list_mac_rwlock_);
    return texts;
}

}  // namespace

void measure_throughput(Harness& h, HandoverThroughput& t) {
    NlSession* session = h.session;
    current = &t;
    const std::vector<std::string> texts = render_reports(session, h.config.datagrams);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        h.failed = true;
        return;
    }
    const struct sockaddr* dest =
        reinterpret_cast<const struct sockaddr*>(&session->multicast_.mcast_dest_);
    const uint64_t m = texts.size();
    fprintf(h.out, "hand-over throughput: %llu reports of %zu bytes, %d rounds\n",
            static_cast<unsigned long long>(m), texts[0].size(), h.config.rounds);
    fprintf(h.out, "%5s %12s %9s %7s %8s %9s %8s %12s %7s %8s\n", "round", "handover/s",
            "queued_ms", "errors", "out", "batched", "calls", "sendto/s", "errors", "out");
    for (int r = 0; r < h.config.rounds; ++r) {
        t.completions.store(0);
        t.completion_errors.store(0);
        t.last_completion_ns.store(0);
        t.completion_target = m;
        const uint64_t calls0 = sendmmsg_calls();
        const uint64_t batched0 = sendmmsg_sent();
        uint64_t sent0 = interface_sent(h.config.dev);
        uint64_t t0 = now_ns();
        for (const std::string& text : texts) {
            if (!queue_datagram(session->multicast_, text.data(), text.size(), counted_send_cb)) {
                fprintf(h.out, "  queue_datagram refused a datagram\n");
                h.failed = true;
                close(fd);
                return;
            }
        }
        const uint64_t queued_ns = now_ns() - t0;
        while (t.last_completion_ns.load() == 0) {
            pause_ms(1);
        }
        const double handover =
            static_cast<double>(m) * 1e9 / static_cast<double>(t.last_completion_ns.load() - t0);
        pause_ms(50);
        const uint64_t out_handover = interface_sent(h.config.dev) - sent0;
        const uint64_t calls = sendmmsg_calls() - calls0;
        const uint64_t batched = sendmmsg_sent() - batched0;

        sent0 = interface_sent(h.config.dev);
        uint64_t failures = 0;
        t0 = now_ns();
        for (const std::string& text : texts) {
            if (sendto(fd, text.data(), text.size(), 0, dest,
                       sizeof session->multicast_.mcast_dest_) < 0) {
                ++failures;
            }
        }
        const double raw = static_cast<double>(m) * 1e9 / static_cast<double>(now_ns() - t0);
        pause_ms(50);
        const uint64_t out_raw = interface_sent(h.config.dev) - sent0;
        fprintf(
            h.out, "%5d %12.0f %9.0f %7llu %8llu %9llu %8llu %12.0f %7llu %8llu\n", r + 1, handover,
            ms(queued_ns), static_cast<unsigned long long>(t.completion_errors.load()),
            static_cast<unsigned long long>(out_handover), static_cast<unsigned long long>(batched),
            static_cast<unsigned long long>(calls), raw, static_cast<unsigned long long>(failures),
            static_cast<unsigned long long>(out_raw));
        fflush(h.out);
        t.batched_share = static_cast<double>(batched) / static_cast<double>(m);
        t.batch_width = calls == 0 ? 0 : static_cast<double>(batched) / static_cast<double>(calls);
        t.handover_rates.push_back(handover);
        t.sendto_rates.push_back(raw);
    }
    close(fd);
}

void print_throughput(const Harness& h, const HandoverThroughput& t) {
    if (t.handover_rates.empty()) {
        return;
    }
    fprintf(h.out, "result handover_rate %.0f\n",
            *std::max_element(t.handover_rates.begin(), t.handover_rates.end()));
    fprintf(h.out, "result sendto_rate %.0f\n",
            *std::max_element(t.sendto_rates.begin(), t.sendto_rates.end()));
    fprintf(h.out, "result handover_batched_pct %.0f\n", 100 * t.batched_share);
    fprintf(h.out, "result handover_batch_width %.1f\n", t.batch_width);
}
