// vorlask-replay: turns the probe requests of a capture recorded on a
// monitor interface into a script for the kernel stand-in
// (vorlask-kernel-standin --script), which plays them to the daemon.
#include <cfloat>
#include <cstdio>
#include <string>

#include "number_text.h"
#include "replay_capture.h"

namespace {

const char usage[] =
    "usage: vorlask-replay [--speed X] [--delay S] CAPTURE\n"
    "  CAPTURE     pcap or pcapng file with radiotap headers (tcpdump -i MONITOR -w FILE)\n"
    "  --speed X   play X times faster than recorded (default 1)\n"
    "  --delay S   start S seconds after the daemon's registration (default 0)\n"
    "Writes the stand-in script to standard output and what the capture held to\n"
    "standard error.\n";

// A finite real number from 0, as strtod writes one.
bool to_number(const char* text, double& out) {
    return read_real(text, RealForm{0, DBL_MAX}, out) == NumberRead::ok;
}

}  // namespace

int main(int argc, char** argv) {
    double speed = 1;
    double delay = 0;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--speed" || a == "--delay") && i + 1 < argc) {
            double& target = a == "--speed" ? speed : delay;
            if (!to_number(argv[++i], target) || (a == "--speed" && target == 0)) {
                fprintf(stderr, "vorlask-replay: bad value for %s: %s\n%s", a.c_str(), argv[i],
                        usage);
                return 2;
            }
        } else if (a == "--help" || a == "-h") {
            fputs(usage, stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "vorlask-replay: unknown option %s\n%s", a.c_str(), usage);
            return 2;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            fprintf(stderr, "vorlask-replay: one capture only\n%s", usage);
            return 2;
        }
    }
    if (path == nullptr) {
        fputs(usage, stderr);
        return 2;
    }
    std::vector<ReplayStep> steps;
    ReplayCounts counts;
    std::string error;
    if (!read_capture(path, steps, counts, error)) {
        fprintf(stderr, "vorlask-replay: %s: %s\n", path, error.c_str());
        return 1;
    }
    printf("# %s\n", path);
    for (const ReplayStep& step : steps) {
        printf("%s\n", script_line(step, speed, delay).c_str());
    }
    fprintf(stderr,
            "vorlask-replay: %llu frames, %llu probe requests, %llu other, %llu malformed, "
            "%llu with a bad checksum\n",
            static_cast<unsigned long long>(counts.frames),
            static_cast<unsigned long long>(counts.probes),
            static_cast<unsigned long long>(counts.other),
            static_cast<unsigned long long>(counts.malformed),
            static_cast<unsigned long long>(counts.bad_fcs));
    return 0;
}
