// vorlask-kernel-standin: plays the kernel module's part of the probe channel
// for tests and benchmarks. It binds a NETLINK_USERSOCK port id, waits for the
// daemon's registration, then sends probe messages to the daemon's port from a
// scenario script or a traffic generator.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include "datagram_source.h"
#include "netlink_endpoint.h"
#include "paced_sender.h"
#include "probe_generator.h"
#include "registration_wait.h"
#include "scenario_script.h"
#include "standin_cli.h"

namespace {

constexpr const char* program = "vorlask-kernel-standin";

int usage_error(const std::string& error) {
    std::cerr << program << ": " << error << "\n" << standin::usage_text();
    return 2;
}

void linger(double seconds) {
    if (seconds <= 0) {
        return;
    }
    struct timespec t;
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - static_cast<double>(t.tv_sec)) * 1e9);
    while (nanosleep(&t, &t) != 0) {
    }
}

bool dump(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    standin::StandinOptions options;
    std::string error;
    switch (standin::parse_command_line(argc, argv, options, error)) {
        case standin::CliResult::help:
            std::cout << standin::usage_text();
            return 0;
        case standin::CliResult::error:
            return usage_error(error);
        case standin::CliResult::run:
            break;
    }

    // Everything that can be wrong with the script is found before binding.
    std::unique_ptr<standin::DatagramSource> source;
    if (!options.script.empty()) {
        std::ifstream in(options.script);
        if (!in) {
            std::cerr << program << ": cannot read " << options.script << "\n";
            return 2;
        }
        std::vector<standin::ScriptStep> steps;
        if (!standin::parse_script(in, steps, error)) {
            std::cerr << program << ": " << options.script << " " << error << "\n";
            return 2;
        }
        source = std::make_unique<standin::ScriptSource>(std::move(steps));
    } else {
        source = std::make_unique<standin::ProbeGenerator>(options.generator);
    }

    standin::NetlinkEndpoint endpoint;
    if (!endpoint.open(options.port, error) ||
        !endpoint.set_send_timeout(options.send_timeout_ms)) {
        std::cerr << program << ": " << (error.empty() ? "cannot set the send timeout" : error)
                  << "\n";
        return 1;
    }

    standin::Registration registration;
    switch (standin::wait_for_registration(endpoint, options.wait, registration, std::cerr)) {
        case standin::WaitResult::timed_out:
            std::cerr << "no registration within " << options.wait << " s\n";
            return 1;
        case standin::WaitResult::failed:
            perror("receive");
            return 1;
        case standin::WaitResult::registered:
            break;
    }
    const struct timespec start = standin::monotonic_now();
    std::cout << "registered: port " << registration.daemon_port << std::endl;
    if (!options.dump_registration.empty() &&
        !dump(options.dump_registration, registration.bytes)) {
        std::cerr << program << ": cannot write " << options.dump_registration << "\n";
        return 1;
    }

    standin::SendStats stats = standin::send_all(*source, endpoint, registration.daemon_port, start,
                                                 options.rate_unlimited);
    linger(options.linger);
    std::cout << "sent " << stats.sent << " probe messages\n";
    if (stats.failures != 0) {
        std::cout << "send failures " << stats.failures << "\n";
    }
    if (options.report_time) {
        char text[64];
        snprintf(text, sizeof text, "send time %.6f s\n", stats.seconds);
        std::cout << text;
    }
    std::cout.flush();
    return 0;
}
