// vorlask-fleet: gathers the scan documents of many access points from an
// MQTT broker into one view of the stations, printed as a live table, or once
// (as JSON with --json).
#include <mosquitto.h>
#include <unistd.h>
#include <uv.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>

#include "fleet_clock.h"
#include "fleet_console.h"
#include "fleet_document.h"
#include "fleet_intake.h"
#include "fleet_options.h"
#include "fleet_view.h"
#include "fleet_web.h"

using namespace fleet;

namespace {

constexpr int exit_no_broker = 3;
constexpr int exit_refused = 4;
// --once: how long to wait for a first connection beyond --wait.
constexpr uint64_t first_connection_grace_ms = 10000;

// libmosquitto from before the intake is made until after it is gone: the
// intake's client is destroyed before the library is cleaned up, on every way
// out of main.
struct MosquittoLibrary {
    int rc = mosquitto_lib_init();
    ~MosquittoLibrary() {
        if (rc == MOSQ_ERR_SUCCESS) {
            mosquitto_lib_cleanup();
        }
    }
};

struct Fleet {
    FleetOptions options;
    uv_loop_t loop{};
    FleetView view;
    FleetIntake* intake = nullptr;
    FleetWeb* web = nullptr;  // --http
    FleetConsole console;
    uv_timer_t tick{};      // forgetting and the live table, once a second
    uv_timer_t deadline{};  // --once: end of gathering; live: --duration
    uv_signal_t sigint{}, sigterm{};
    uint64_t printed_generation = UINT64_MAX;
    bool ever_connected = false;
    bool ending = false;
    int status = 0;

    Fleet(const FleetOptions& o)
        : options(o),
          view(ViewLimits{o.forget}),
          console(stdout, isatty(STDOUT_FILENO) != 0, o.rows) {}

    ConsoleStatus console_status() const {
        return ConsoleStatus{intake->broker(), intake->connected()};
    }

    void print_live() {
        if (view.generation() == printed_generation) {
            return;
        }
        printed_generation = view.generation();
        console.print(view, console_status(), fleet_now().wall);
    }

    // Prints the view (--once), then closes everything so the loop ends.
    void end(int exit_status) {
        if (ending) {
            return;
        }
        ending = true;
        status = exit_status;
        FleetTime now = fleet_now();
        if (options.once) {
            view.forget(now);
            if (options.json) {
                std::string document = view_document(view, now.wall);
                fwrite(document.data(), 1, document.size(), stdout);
                fputc('\n', stdout);
            } else {
                fputs(console.render(view, console_status(), now.wall).c_str(), stdout);
            }
            fflush(stdout);
        }
        for (uv_handle_t* h :
             {reinterpret_cast<uv_handle_t*>(&tick), reinterpret_cast<uv_handle_t*>(&deadline),
              reinterpret_cast<uv_handle_t*>(&sigint), reinterpret_cast<uv_handle_t*>(&sigterm)}) {
            uv_close(h, nullptr);
        }
        intake->stop([] {});
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        fputs(fleet_usage, stdout);
        return 0;
    }
    FleetOptions options;
    std::string error;
    if (!parse_fleet_options(argc, argv, options, error)) {
        fprintf(stderr, "vorlask-fleet: %s\n%s", error.c_str(), fleet_usage);
        return 2;
    }
    IntakeSettings settings;
    if (!options.password_file.empty() &&
        !read_password_file(options.password_file, settings.password, error)) {
        fprintf(stderr, "vorlask-fleet: %s\n", error.c_str());
        return 1;
    }
    if (options.client_id.empty()) {
        char host[HOST_NAME_MAX + 1] = {};
        if (gethostname(host, sizeof host - 1) != 0) {
            snprintf(host, sizeof host, "localhost");
        }
        options.client_id =
            default_client_id(host, options.once, static_cast<uint32_t>(std::random_device()()));
    }
    settings.brokers = options.brokers;
    settings.port = options.port;
    settings.prefix = options.prefix;
    settings.client_id = options.client_id;
    settings.persistent = options.persistent;
    settings.qos = options.qos;
    settings.keepalive = options.keepalive;
    settings.username = options.username;
    settings.ca_file = options.ca_file;
    settings.cert_file = options.cert_file;
    settings.key_file = options.key_file;
    settings.verbose = options.verbose;
    settings.sites = options.sites;
    settings.partitions = options.partitions;
    settings.homeassistant = options.homeassistant;

    MosquittoLibrary library;
    if (library.rc != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "vorlask-fleet: cannot set up libmosquitto: %s\n",
                mosquitto_strerror(library.rc));
        return 1;
    }
    Fleet fleet(options);
    uv_loop_init(&fleet.loop);
    FleetIntake intake(&fleet.loop, settings, fleet.view);
    fleet.intake = &intake;
    if (!intake.start(error)) {
        fprintf(stderr, "vorlask-fleet: %s\n", error.c_str());
        uv_run(&fleet.loop, UV_RUN_DEFAULT);
        uv_loop_close(&fleet.loop);
        return 1;
    }

    // The web page: its own threads serve it; the loop only hands it copies of the view and
    // the merged scans.
    FleetWeb web;
    if (!options.http.empty()) {
        if (!web.start(options, error)) {
            fprintf(stderr, "vorlask-fleet: %s\n", error.c_str());
            intake.stop([] {});
            uv_run(&fleet.loop, UV_RUN_DEFAULT);
            uv_loop_close(&fleet.loop);
            return 1;
        }
        fleet.web = &web;
        fleet.view.add_scan_listener(
            [&web](const Scan& scan, int64_t scan_time) { web.on_scan(scan, scan_time); });
        fprintf(stderr, "vorlask-fleet: web page on port %u\n", static_cast<unsigned>(web.port()));
        // --visits: each merged scan's hearings, once the view holds them.
        if (options.visits) {
            fleet.view.add_scan_listener([&web, &fleet](const Scan& scan, int64_t) {
                web.on_visit_scan(fleet.view, scan, fleet_now());
            });
        }
    }

    uv_timer_init(&fleet.loop, &fleet.tick);
    fleet.tick.data = &fleet;
    uv_timer_start(
        &fleet.tick,
        [](uv_timer_t* t) {
            auto* f = static_cast<Fleet*>(t->data);
            f->view.forget(fleet_now());
            if (!f->options.once) {
                f->print_live();
            }
            if (f->web != nullptr) {
                f->web->tick(f->view, fleet_now());
            }
        },
        1000, 1000);

    uv_timer_init(&fleet.loop, &fleet.deadline);
    fleet.deadline.data = &fleet;
    auto deadline_cb = [](uv_timer_t* t) {
        auto* f = static_cast<Fleet*>(t->data);
        if (f->options.once && !f->ever_connected) {
            fprintf(stderr, "vorlask-fleet: no broker reached\n");
            f->end(exit_no_broker);
        } else {
            f->end(0);
        }
    };
    if (options.once) {
        uv_timer_start(&fleet.deadline, deadline_cb,
                       options.wait * 1000ull + first_connection_grace_ms, 0);
    } else if (options.duration > 0) {
        uv_timer_start(&fleet.deadline, deadline_cb, options.duration * 1000ull, 0);
    }
    intake.on_connected = [&fleet, deadline_cb] {
        if (!fleet.ever_connected && fleet.options.once) {
            uv_timer_start(&fleet.deadline, deadline_cb, fleet.options.wait * 1000ull, 0);
        }
        fleet.ever_connected = true;
    };
    // A refused subscription is never granted by trying again: the end, as --once without a
    // broker (the view so far is still printed).
    intake.on_refused = [&fleet] { fleet.end(exit_refused); };
    intake.on_message = [&fleet] {
        if (fleet.options.once && fleet.options.count > 0 &&
            fleet.view.counters().scans >= fleet.options.count) {
            fleet.end(0);
        }
    };

    for (uv_signal_t* s : {&fleet.sigint, &fleet.sigterm}) {
        uv_signal_init(&fleet.loop, s);
        s->data = &fleet;
    }
    auto on_signal = [](uv_signal_t* s, int) { static_cast<Fleet*>(s->data)->end(0); };
    uv_signal_start(&fleet.sigint, on_signal, SIGINT);
    uv_signal_start(&fleet.sigterm, on_signal, SIGTERM);

    uv_run(&fleet.loop, UV_RUN_DEFAULT);
    web.stop();
    if (options.verbose > 0) {
        const ViewCounters& c = fleet.view.counters();
        fprintf(stderr,
                "vorlask-fleet: %llu messages, %llu parts, %llu scans, %llu malformed, "
                "%llu duplicates, %llu incomplete, %llu lost documents\n",
                static_cast<unsigned long long>(intake.messages()),
                static_cast<unsigned long long>(c.parts), static_cast<unsigned long long>(c.scans),
                static_cast<unsigned long long>(c.malformed),
                static_cast<unsigned long long>(c.duplicates),
                static_cast<unsigned long long>(c.incomplete),
                static_cast<unsigned long long>(fleet.view.lost_documents()));
    }
    uv_loop_close(&fleet.loop);
    return fleet.status;
}
