// The command line: defaults, numbers modulo 65536, verbosity, the ignored
// options, and every error with its exact text and exit status.
#include <getopt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture.h"
#include "console_log.h"
#include "settings.h"

namespace {

const char usage[] =
    "Usage:\n"
    "vorlask -T 1800\n"
    "vorlask -t 20 -R 3\n"
    "vorlask -R 0 -s 192.168.1.100 -p 5566\n"
    "vorlask [-h | -V]\n"
    "\n"
    "Options:\n"
    "  -D --- run in background as a daemon.\n"
    "  -R --- set random try max value for Apple/iPhone WIFI probe\n"
    "  -s --- set a upload server name or address\n"
    "  -T --- set the timer max counter\n"
    "  -t --- set scan timer timeout value, default is 60s\n"
    "  -h --- display this help message & exit\n"
    "  -v --- verbose with more debugging infomation\n"
    "  -V --- display version information & exit\n";

// Parses `args` in a child process; on return the child prints the settings.
ChildResult parse(std::vector<std::string> args) {
    return run_in_child([&] {
        std::vector<char*> argv;
        std::string name = "vorlask";
        argv.push_back(&name[0]);
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        optind = 0;
        verbosity = 0;
        Options o;
        set_default_options(o);
        read_command_line(static_cast<int>(argv.size() - 1), argv.data(), o);
        printf("T=%u t=%u R=%u D=%u m=%s p=%u v=%u\n", o.timemax, o.timeout, o.randommax, o.daemon,
               o.mcast_addr.c_str(), o.port, verbosity);
    });
}

std::string settings(std::vector<std::string> args) {
    ChildResult r = parse(std::move(args));
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.err, "");
    return r.out;
}

TEST(CommandLine, DefaultsWithoutArguments) {
    EXPECT_EQ(settings({}), "T=0 t=10 R=2 D=0 m=225.0.0.37 p=5566 v=0\n");
}

TEST(CommandLine, NumbersAreTakenModulo65536) {
    EXPECT_EQ(settings({"-T", "65536"}), "T=0 t=10 R=2 D=0 m=225.0.0.37 p=5566 v=0\n");
    EXPECT_EQ(settings({"-T", "70000", "-p", "-1"}),
              "T=4464 t=10 R=2 D=0 m=225.0.0.37 p=65535 v=0\n");
    EXPECT_EQ(settings({"-t", "abc", "-R", " 12xyz"}),
              "T=0 t=0 R=12 D=0 m=225.0.0.37 p=5566 v=0\n");
    EXPECT_EQ(settings({"--timeout=5", "--timemax", "3", "--randommax", "0", "--port", "+80"}),
              "T=3 t=5 R=0 D=0 m=225.0.0.37 p=80 v=0\n");
    EXPECT_EQ(settings({"-T", "99999999999999999999"}),
              "T=65535 t=10 R=2 D=0 m=225.0.0.37 p=5566 v=0\n");
}

TEST(CommandLine, LastValueWinsAndDaemonFlag) {
    EXPECT_EQ(settings({"-T", "5", "-T", "7", "--daemon"}),
              "T=7 t=10 R=2 D=1 m=225.0.0.37 p=5566 v=0\n");
    EXPECT_EQ(settings({"-D", "stray", "words"}), "T=0 t=10 R=2 D=1 m=225.0.0.37 p=5566 v=0\n");
}

TEST(CommandLine, EveryVerboseOptionCounts) {
    EXPECT_EQ(settings({"-vvv"}), "T=0 t=10 R=2 D=0 m=225.0.0.37 p=5566 v=3\n");
    EXPECT_EQ(settings({"-v", "--version", "-v"}), "T=0 t=10 R=2 D=0 m=225.0.0.37 p=5566 v=3\n");
}

TEST(CommandLine, ValueOptionSwallowsTheNextArgument) {
    EXPECT_EQ(settings({"-t", "-v"}), "T=0 t=0 R=2 D=0 m=225.0.0.37 p=5566 v=0\n");
}

TEST(CommandLine, IgnoredOptionsChangeNothing) {
    EXPECT_EQ(settings({"-s", "10.0.0.1", "--log", "file", "-S", "x", "--server", "y"}),
              "T=0 t=10 R=2 D=0 m=225.0.0.37 p=5566 v=0\n");
}

TEST(CommandLine, MissingValueNamesTheOption) {
    ChildResult r = parse({"-t"});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, "-t:option needs a value.\n");
    EXPECT_EQ(r.out, "");

    r = parse({"-v", "--port"});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, "-p:option needs a value.\n");
}

// Port 0, however spelled, is refused once the whole line is read: a later
// value still wins.
TEST(CommandLine, PortZeroIsRefused) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"-p", "0"}, {"--port", "65536", "-v"}, {"-p", "abc"}, {"-p", "5", "--port=0"}}) {
        ChildResult r = parse(args);
        EXPECT_EQ(r.exit_code(), 1) << args.back();
        EXPECT_EQ(r.err, "-p:port 0 cannot be used.\n") << args.back();
        EXPECT_EQ(r.out, "") << args.back();
    }
    EXPECT_EQ(settings({"-p", "0", "-p", "1"}), "T=0 t=10 R=2 D=0 m=225.0.0.37 p=1 v=0\n");
}

TEST(CommandLine, HelpPrintsUsageAndFails) {
    for (const char* arg : {"-h", "--help"}) {
        ChildResult r = parse({arg});
        EXPECT_EQ(r.exit_code(), 1) << arg;
        EXPECT_EQ(r.err, usage) << arg;
        EXPECT_EQ(r.out, "") << arg;
    }
}

TEST(CommandLine, UnknownOptionsPrintTheirLetterThenUsage) {
    ChildResult r = parse({"-x"});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, std::string("unknown option:x\n") + usage);

    r = parse({"-V"});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, std::string("unknown option:V\n") + usage);

    // An unknown long option has no letter: the character printed is NUL.
    r = parse({"--bogus"});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, std::string("unknown option:\0\n", 17) + usage);
}

}  // namespace
