#include "standin_cli.h"

#include <cfloat>

#include "number_text.h"

namespace standin {

namespace {

// Seconds: any finite real number from 0, as strtod writes one.
bool to_seconds(const char* text, double& value) {
    return read_real(text, RealForm{0, DBL_MAX}, value) == NumberRead::ok;
}

// Decimal digits only, up to `max`.
bool to_unsigned(const char* text, uint64_t max, uint64_t& value) {
    return read_unsigned(text, UnsignedForm{0, max}, value) == NumberRead::ok;
}

bool to_u32(const char* text, uint32_t& value) {
    uint64_t parsed = 0;
    if (!to_unsigned(text, UINT32_MAX, parsed)) {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace

const char* usage_text() {
    return "usage: vorlask-kernel-standin --port ID [--wait SECS] [--dump-registration FILE]\n"
           "                              [--script FILE] [generator options] [--linger SECS]\n"
           "  --port ID                 netlink port id to bind (what VORLASK_KERNEL_PORT names)\n"
           "  --wait SECS               wait this long for the registration (default 10)\n"
           "  --dump-registration FILE  write the accepted registration's bytes to FILE\n"
           "  --script FILE             send what FILE says (not with generator options)\n"
           "  --linger SECS             stay bound this long after the last send\n"
           "  --send-timeout MS         wait up to MS ms for room in the daemon's queue\n"
           "                            (default 0: a full queue fails the send at once)\n"
           "  --report-time             also print \"send time S s\" (first to last send)\n"
           "generator options:\n"
           "  --duration SECS           time covered by stable and random stations (default 10)\n"
           "  --stable N                N stations with fixed addresses ...\n"
           "  --stable-rate R           ... each probing R times per second (default 1)\n"
           "  --random M                M randomised addresses spread over the duration ...\n"
           "  --random-hits K           ... each sent K times (default 1)\n"
           "  --flood RATE              a new randomised address per datagram, RATE per second\n"
           "  --flood-secs T            for T seconds (default 10) ...\n"
           "  --flood-start S           ... starting S seconds after the registration\n"
           "  --seed S                  derive the addresses from S (default 1)\n"
           "  --burst K                 K messages back to back at the start\n"
           "  --rate-unlimited          send everything as fast as possible\n";
}

CliResult parse_command_line(int argc, char** argv, StandinOptions& options, std::string& error) {
    bool have_port = false;
    bool generator_given = false;
    GeneratorOptions& gen = options.generator;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            return CliResult::help;
        }
        if (name == "--rate-unlimited") {
            options.rate_unlimited = true;
            continue;
        }
        if (name == "--report-time") {
            options.report_time = true;
            continue;
        }
        if (name.rfind("--", 0) != 0) {
            error = "unexpected argument \"" + name + "\"";
            return CliResult::error;
        }
        if (i + 1 >= argc) {
            error = name + " needs a value";
            return CliResult::error;
        }
        const char* value = argv[++i];
        bool ok = true;
        bool generator = true;
        uint64_t u64 = 0;
        if (name == "--port") {
            generator = false;
            ok = to_u32(value, options.port) && options.port != 0;
            have_port = ok;
        } else if (name == "--wait") {
            generator = false;
            ok = to_seconds(value, options.wait);
        } else if (name == "--dump-registration") {
            generator = false;
            options.dump_registration = value;
            ok = *value != '\0';
        } else if (name == "--script") {
            generator = false;
            options.script = value;
            ok = *value != '\0';
        } else if (name == "--linger") {
            generator = false;
            ok = to_seconds(value, options.linger);
        } else if (name == "--send-timeout") {
            generator = false;
            ok = to_unsigned(value, 3600000, u64);
            options.send_timeout_ms = static_cast<int>(u64);
        } else if (name == "--duration") {
            ok = to_seconds(value, gen.duration);
        } else if (name == "--stable") {
            ok = to_u32(value, gen.stable);
        } else if (name == "--stable-rate") {
            ok = to_seconds(value, gen.stable_rate) && gen.stable_rate > 0;
        } else if (name == "--random") {
            ok = to_u32(value, gen.random);
        } else if (name == "--random-hits") {
            ok = to_u32(value, gen.random_hits) && gen.random_hits != 0;
        } else if (name == "--flood") {
            ok = to_seconds(value, gen.flood_rate);
        } else if (name == "--flood-secs") {
            ok = to_seconds(value, gen.flood_secs);
        } else if (name == "--flood-start") {
            ok = to_seconds(value, gen.flood_start);
        } else if (name == "--seed") {
            ok = to_unsigned(value, UINT64_MAX, gen.seed);
        } else if (name == "--burst") {
            ok = to_u32(value, gen.burst);
        } else {
            error = "unknown option " + name;
            return CliResult::error;
        }
        if (!ok) {
            error = "bad value \"" + std::string(value) + "\" for " + name;
            return CliResult::error;
        }
        generator_given = generator_given || generator;
    }
    if (!have_port) {
        error = "--port ID is required (a port id from 1 to 4294967295)";
        return CliResult::error;
    }
    if (!options.script.empty() && (generator_given || options.rate_unlimited)) {
        error = "--script does not combine with generator options";
        return CliResult::error;
    }
    return CliResult::run;
}

}  // namespace standin
