// The fleet's web page under 1,000 access points x 100 stations, each figure beside a baseline
// measured in the same run. Prints "result KEY VALUE" lines for scripts/bench.
//
//   view     /api/view fetched over loopback (time, bytes) beside the collector's own writer
//            of the same document (--once --json) and the scan documents that carried it;
//            the loop thread's copy of the view for the page beside that writer
//   history  hearings per second through the recorder into SQLite beside a plain SQLite
//            insert loop of the same rows in one transaction; the longest time the intake
//            spent handing a scan to the recorder while it wrote, beside the same hand-over
//            into a plain vector
//   size     database bytes per access point per day (a day of minutes, 100 stations an hour)
//            beside the same rows as CSV text
//   scale    the same page at 10,000 access points x 100 stations under 16 concurrent
//            requests (fleet_page_scale.cpp)
//   --serve SECONDS PORT [APS]  serves the page with the large view (or APS access points x
//            100 stations, each station heard by one) on 127.0.0.1:PORT (printed) for the
//            page-load benchmark, then exits
// The fleet measured is built in fleet_page_fixture.cpp; history and size run in
// fleet_page_history.cpp.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "fleet_page_fixture.h"
#include "fleet_page_history.h"
#include "fleet_page_scale.h"

using namespace fleet;
using namespace page_bench;

namespace {

int bench_view(const std::string& dir) {
    Fleet f;
    build(f);
    fleet_page::FleetPage page;
    if (!start_page(page, dir + "/view.db", 0))
        return 1;
    double copy = best_of(5, [&] {
        page.on_view(std::make_shared<const fleet_page::ViewSnapshot>(snapshot_of(f.view, kNow)));
    });
    std::string own;
    double writer = best_of(5, [&] { own = view_document(f.view, kNow); });
    std::string answer;
    double served = best_of(5, [&] { answer = fetch(page.port(), "/api/view"); });
    size_t body = answer.size() - answer.find("\r\n\r\n") - 4;
    if (answer.compare(answer.size() - body, body, own + "\n") != 0) {
        std::fprintf(stderr, "fleet_page_bench: /api/view differs from the collector's writer\n");
        return 1;
    }
    std::printf("view: %zu stations; /api/view %.1f ms, %zu bytes; writer %.1f ms; copy %.1f ms\n",
                f.view.stations().size(), served * 1e3, body, writer * 1e3, copy * 1e3);
    std::printf("result page_view_ms %.1f\nresult page_view_writer_ms %.1f\n", served * 1e3,
                writer * 1e3);
    std::printf("result page_view_bytes %zu\nresult page_view_docs_bytes %zu\n", body,
                f.document_bytes);
    std::printf("result page_copy_ms %.1f\n", copy * 1e3);
    return 0;
}

int serve(const std::string& dir, int seconds, uint16_t port, int aps) {
    Fleet f;
    if (aps > 0)
        build(f, aps, kStations);
    else
        build(f);
    fleet_page::FleetPage page;
    if (!start_page(page, dir + "/serve.db", port))
        return 1;
    page.on_view(std::make_shared<const fleet_page::ViewSnapshot>(snapshot_of(f.view, kNow)));
    std::printf("serving on port %u\n", static_cast<unsigned>(page.port()));
    std::fflush(stdout);
    // Until the time is up or SIGTERM/SIGINT comes, so that the scratch directory goes either way.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    timespec limit{seconds, 0};
    sigtimedwait(&stop, nullptr, &limit);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked in every thread (the page's threads start later); serve() waits for them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    char pattern[] = "/tmp/fleet-page-bench.XXXXXX";
    std::string dir = mkdtemp(pattern);
    int status = 0;
    if ((argc == 4 || argc == 5) && std::string(argv[1]) == "--serve") {
        status = serve(dir, std::atoi(argv[2]), static_cast<uint16_t>(std::atoi(argv[3])),
                       argc == 5 ? std::atoi(argv[4]) : 0);
    } else {
        status = bench_view(dir) | bench_history(dir) | bench_size(dir) | bench_scale(dir);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
