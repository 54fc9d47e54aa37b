// libFuzzer target for the command line: any argument vector (the input split
// at NUL bytes, after the program name) through set_default_options and
// read_command_line. The only ends allowed are a return and exit status 1
// (usage, a missing value, an unknown option, a port of 0); anything else
// aborts.
//
// The parser ends the process through exit(). This target is linked with
// --wrap=exit, so the parser's exit lands in __wrap_exit, which checks the
// status and jumps back here: the run stays in one process, so that the
// fuzzer sees the coverage of every input (a forked child's coverage never
// reaches it). Every other caller of exit gets the real one.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console_log.h"
#include "settings.h"

extern "C" [[noreturn]] void __real_exit(int status);

namespace {

bool in_parser = false;
sigjmp_buf back_to_harness;
FILE* null_stream = nullptr;

[[noreturn]] void fail(const char* what, int value) {
    fprintf(stderr, "command_line_fuzz: %s %d\n", what, value);
    abort();
}

}  // namespace

extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (!in_parser) {
        __real_exit(status);
    }
    if (status != 1) {
        fail("read_command_line ended with status", status);
    }
    siglongjmp(back_to_harness, 1);
}

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Opened without O_CREAT: a missing /dev/null must not become a file.
    const int fd = open("/dev/null", O_WRONLY);
    null_stream = fd < 0 ? nullptr : fdopen(fd, "w");
    if (null_stream == nullptr) {
        fail("cannot open /dev/null, errno", errno);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"vorlask"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (size != 0) {
        words.push_back(word);
    }
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(&w[0]);
    }
    argv.push_back(nullptr);

    Options options;
    set_default_options(options);
    verbosity = 0;
    optind = 0;  // getopt starts over, forgetting the last vector

    // The parser's messages go nowhere; the sanitizers and the fuzzer keep
    // their own descriptor for standard error.
    FILE* const real_stderr = stderr;
    stderr = null_stream;
    in_parser = true;
    if (sigsetjmp(back_to_harness, 0) == 0) {
        read_command_line(static_cast<int>(words.size()), argv.data(), options);
        in_parser = false;
        stderr = real_stderr;
        // Nothing on the command line sets the group address.
        if (options.mcast_addr != "225.0.0.37") {
            fail("group address changed by the command line, length",
                 static_cast<int>(options.mcast_addr.size()));
        }
        if (verbosity > size) {
            fail("verbosity above the input length:", static_cast<int>(verbosity));
        }
    } else {
        in_parser = false;
        stderr = real_stderr;
    }
    verbosity = 0;
    return 0;
}
