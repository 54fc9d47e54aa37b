#include "settings.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

#include "console_log.h"

namespace {

const char short_options[] = ":Dt:T:R:p:s:S:hv";

const struct option long_options[] = {
    {"daemon", no_argument, nullptr, 'D'},          {"port", required_argument, nullptr, 'p'},
    {"server", required_argument, nullptr, 's'},    {"log", required_argument, nullptr, 'l'},
    {"timeout", required_argument, nullptr, 't'},   {"timemax", required_argument, nullptr, 'T'},
    {"randommax", required_argument, nullptr, 'R'}, {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},         {nullptr, 0, nullptr, 0},
};

// atoi, truncated to its low 16 bits: "-1" gives 65535, "65536" gives 0.
// The number is accumulated with wrap-around so that no digit string, however
// long, overflows a signed integer.
uint16_t numeric_value(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint32_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
        ++p;
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<uint16_t>(value);
}

}  // namespace

void set_default_options(Options& options) {
    options.timemax = 0;
    options.timeout = 10;
    options.randommax = 2;
    options.daemon = 0;
    options.mcast_addr = "225.0.0.37";
    options.port = 5566;
}

void print_usage() {
    const char* name = "vorlask";
    fprintf(stderr, "Usage:\n");
    fprintf(stderr, "%s -T 1800\n", name);
    fprintf(stderr, "%s -t 20 -R 3\n", name);
    fprintf(stderr, "%s -R 0 -s 192.168.1.100 -p 5566\n", name);
    fprintf(stderr, "%s [-h | -V]\n", name);
    fprintf(stderr, "\n");
    fprintf(stderr, "Options:\n");
    fprintf(stderr, "  -D --- run in background as a daemon.\n");
    fprintf(stderr, "  -R --- set random try max value for Apple/iPhone WIFI probe\n");
    fprintf(stderr, "  -s --- set a upload server name or address\n");
    fprintf(stderr, "  -T --- set the timer max counter\n");
    fprintf(stderr, "  -t --- set scan timer timeout value, default is 60s\n");
    fprintf(stderr, "  -h --- display this help message & exit\n");
    fprintf(stderr, "  -v --- verbose with more debugging infomation\n");
    fprintf(stderr, "  -V --- display version information & exit\n");
    exit(1);
}

void read_command_line(int argc, char** argv, Options& options) {
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (c) {
            case 'D':
                options.daemon = 1;
                break;
            case 't':
                options.timeout = numeric_value(optarg);
                break;
            case 'T':
                options.timemax = numeric_value(optarg);
                break;
            case 'R':
                options.randommax = numeric_value(optarg);
                break;
            case 'p':
                options.port = numeric_value(optarg);
                break;
            case 'v':
                ++verbosity;
                break;
            case 'h':
                print_usage();
            case ':':
                fprintf(stderr, "-%c:option needs a value.\n", optopt);
                exit(1);
            case '?':
                fprintf(stderr, "unknown option:%c\n", optopt);
                print_usage();
            default:
                // -s, -S, --server and --log take a value and set nothing.
                break;
        }
    }
    // A datagram to port 0 goes nowhere: refused before anything runs, like a
    // missing value. A value that wraps to 0 (65536) is refused the same way.
    if (options.port == 0) {
        fprintf(stderr, "-p:port 0 cannot be used.\n");
        exit(1);
    }
}
