// vorlask-listen: joins the daemon's multicast group and prints every
// datagram that reaches it as one line.
#include <cstdio>
#include <string>

#include "listen_options.h"
#include "listen_socket.h"

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ListenOptions options;
    std::string error;
    if (argc == 2 && std::string(argv[1]) == "--help") {
        fputs(listen_usage, stdout);
        return 0;
    }
    if (!parse_listen_options(argc, argv, options, error)) {
        fprintf(stderr, "vorlask-listen: %s\n%s", error.c_str(), listen_usage);
        return 2;
    }
    return run_listener(options);
}
