#include "fleet_page_scale.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "fleet_page_fixture.h"

using namespace fleet;

namespace page_bench {

namespace {

constexpr int kScaleAps = 10000, kClients = 16, kAddresses = 8, kRounds = 5;

struct Spread {
    double p50 = 0, p99 = 0;
    size_t smallest = 0;  // the shortest answer, headers included
};

// kRounds rounds of kClients requests for PATH sent at once, a new snapshot of the view
// before each when `fresh`.
Spread load(fleet_page::FleetPage& page, const FleetView& view, const char* path, bool fresh) {
    std::vector<double> times;
    size_t smallest = SIZE_MAX;
    for (int round = 0; round < kRounds; ++round) {
        if (fresh)
            page.on_view(
                std::make_shared<const fleet_page::ViewSnapshot>(snapshot_of(view, kNow + round)));
        std::atomic<int> waiting{kClients};
        std::vector<double> took(kClients);
        std::vector<size_t> sizes(kClients);
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back([&, i] {
                std::string from = "127.0.0." + std::to_string(2 + i % kAddresses);
                waiting--;
                while (waiting.load() > 0)
                    std::this_thread::yield();
                auto t = Clock::now();
                sizes[i] = fetch_size(page.port(), path, from.c_str());
                took[i] = seconds_since(t);
            });
        }
        for (std::thread& c : clients)
            c.join();
        for (int i = 0; i < kClients; ++i) {
            times.push_back(took[i]);
            smallest = std::min(smallest, sizes[i]);
        }
    }
    std::sort(times.begin(), times.end());
    Spread s;
    s.p50 = times[times.size() / 2];
    s.p99 = times[static_cast<size_t>(std::ceil(0.99 * static_cast<double>(times.size()))) - 1];
    s.smallest = smallest;
    return s;
}

}  // namespace

int bench_scale(const std::string& dir) {
    Fleet f;
    auto t = Clock::now();
    build(f, kScaleAps, kStations);
    double built = seconds_since(t);
    fleet_page::FleetPage page;
    if (!start_page(page, dir + "/scale.db", 0))
        return 1;
    size_t own_size = 0;
    double writer = best_of(3, [&] { own_size = view_document(f.view, kNow).size(); });
    Spread view = load(page, f.view, "/api/view", true);
    // The same requests with no new view: the document already rendered, only sent.
    Spread sent = load(page, f.view, "/api/view", false);
    Spread summary = load(page, f.view, "/api/summary", true);
    Spread icon = load(page, f.view, "/icon.svg", false);
    // Every answer whole: the document and its line end after the headers.
    if (view.smallest < own_size + 1 || sent.smallest < own_size + 1 || summary.smallest < 10000 ||
        icon.smallest < 100) {
        std::fprintf(stderr, "fleet_page_bench: an answer under load came short (%zu of %zu)\n",
                     view.smallest, own_size + 1);
        return 1;
    }
    std::printf(
        "scale: %zu access points, %zu stations (built in %.1f s); %d concurrent from %d "
        "addresses, %d rounds: /api/view p50 %.0f ms p99 %.0f ms (%zu bytes; writer %.0f ms; "
        "already rendered p50 %.0f ms p99 %.0f ms); "
        "/api/summary p50 %.0f ms p99 %.0f ms; /icon.svg p50 %.1f ms p99 %.1f ms\n",
        f.view.access_points().size(), f.view.stations().size(), built, kClients, kAddresses,
        kRounds, view.p50 * 1e3, view.p99 * 1e3, own_size, writer * 1e3, sent.p50 * 1e3,
        sent.p99 * 1e3, summary.p50 * 1e3, summary.p99 * 1e3, icon.p50 * 1e3, icon.p99 * 1e3);
    std::printf("result page_scale_view_p50_ms %.0f\nresult page_scale_view_p99_ms %.0f\n",
                view.p50 * 1e3, view.p99 * 1e3);
    std::printf("result page_scale_writer_ms %.0f\nresult page_scale_view_bytes %zu\n",
                writer * 1e3, own_size);
    std::printf("result page_scale_sent_p50_ms %.0f\nresult page_scale_sent_p99_ms %.0f\n",
                sent.p50 * 1e3, sent.p99 * 1e3);
    std::printf("result page_scale_summary_p50_ms %.0f\nresult page_scale_summary_p99_ms %.0f\n",
                summary.p50 * 1e3, summary.p99 * 1e3);
    std::printf("result page_scale_icon_p50_ms %.1f\nresult page_scale_icon_p99_ms %.1f\n",
                icon.p50 * 1e3, icon.p99 * 1e3);
    return 0;
}

}  // namespace page_bench
