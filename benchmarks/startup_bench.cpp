// Start-up time of the daemon: from spawning it to the arrival of its greeting
// (the "HelloMACrecver" datagram it sends to the group once at start) on a UDP
// socket joined to the group. The daemon runs as the end-to-end tests run it:
// the port redirect preload sends its registration to a kernel stand-in,
// started and bound before the clock starts. Beside it, in the same run, the
// time to spawn and reap "vorlask -V" (the same binary and preload, ending at
// its usage message) and /bin/true.
//
//   startup_bench --vorlask PATH --standin PATH --redirect PATH [--runs N]
//
// After one untimed warm-up of each, N runs (default 11) of each, interleaved;
// prints the medians and "result startup_ms X", "result startup_V_ms Y",
// "result startup_true_ms Z". Sends and receives multicast, so it refuses to
// run outside tests/harness/sandbox.sh.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr const char* group = "225.0.0.37";
constexpr uint16_t group_port = 5566;
constexpr unsigned kernel_port = 4242;
constexpr char greeting[] = "HelloMACrecver";

struct Paths {
    std::string vorlask;
    std::string standin;
    std::string redirect;
};

double now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Spawns argv with standard output and error on /dev/null; extra environment
// entries are added to this process's own.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.push_back(*e);
    }
    for (const std::string& e : extra_env) {
        env.push_back(const_cast<char*>(e.c_str()));
    }
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int r = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) {
        fprintf(stderr, "startup_bench: cannot start %s: %s\n", args[0], strerror(r));
        exit(1);
    }
    return pid;
}

// Waits up to `seconds` for `pid` to end; returns its status, or -1 when it
// is still running.
int wait_for(pid_t pid, double seconds) {
    const double limit = now_ms() + seconds * 1e3;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return status;
        }
        if (now_ms() > limit) {
            return -1;
        }
        usleep(1000);
    }
}

void end_process(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// True once a NETLINK_USERSOCK socket holds port id `port` in this network
// namespace.
bool netlink_port_bound(unsigned port) {
    std::ifstream in("/proc/net/netlink");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sk;
        unsigned protocol = 0;
        unsigned long pid = 0;
        fields >> sk >> protocol >> pid;
        if (protocol == 2 && pid == port) {
            return true;
        }
    }
    return false;
}

int open_receiver(const char* local) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(group_port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    struct ip_mreq join = {};
    inet_pton(AF_INET, group, &join.imr_multiaddr);
    inet_pton(AF_INET, local, &join.imr_interface);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&any), sizeof any) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
        perror("startup_bench: receiver");
        exit(1);
    }
    return fd;
}

void drain(int fd) {
    char buf[2048];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

// Milliseconds from spawning the daemon to its greeting, or -1.
double time_to_greeting(const Paths& p, int receiver) {
    pid_t standin = spawn({p.standin, "--port", std::to_string(kernel_port), "--wait", "20"}, {});
    const double bound_limit = now_ms() + 5000;
    while (!netlink_port_bound(kernel_port) && now_ms() < bound_limit) {
        usleep(1000);
    }
    drain(receiver);
    const double start = now_ms();
    pid_t daemon =
        spawn({p.vorlask, "-t", "3600"},
              {"VORLASK_KERNEL_PORT=" + std::to_string(kernel_port), "LD_PRELOAD=" + p.redirect});
    double took = -1;
    const double limit = start + 10000;
    while (took < 0 && now_ms() < limit) {
        struct pollfd pfd = {receiver, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        char buf[2048];
        ssize_t n = recv(receiver, buf, sizeof buf, 0);
        if (n == static_cast<ssize_t>(sizeof greeting - 1) &&
            memcmp(buf, greeting, sizeof greeting - 1) == 0) {
            took = now_ms() - start;
        }
    }
    // Registered too: the stand-in ends once it has the registration.
    int standin_status = wait_for(standin, 5);
    if (standin_status == -1) {
        end_process(standin);
    }
    end_process(daemon);
    if (took < 0) {
        fprintf(stderr, "startup_bench: no greeting within 10 s\n");
        return -1;
    }
    if (standin_status != 0) {
        fprintf(stderr, "startup_bench: the stand-in got no registration\n");
        return -1;
    }
    return took;
}

double time_to_exit(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const double start = now_ms();
    pid_t pid = spawn(argv, env);
    waitpid(pid, nullptr, 0);
    return now_ms() - start;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: startup_bench --vorlask PATH --standin PATH --redirect PATH [--runs N]\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    Paths p;
    int runs = 11;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--vorlask") {
            p.vorlask = argv[i + 1];
        } else if (name == "--standin") {
            p.standin = argv[i + 1];
        } else if (name == "--redirect") {
            p.redirect = argv[i + 1];
        } else if (name == "--runs") {
            runs = atoi(argv[i + 1]);
        } else {
            usage();
        }
    }
    if (argc % 2 == 0 || p.vorlask.empty() || p.standin.empty() || p.redirect.empty() ||
        runs <= 0) {
        usage();
    }
    const char* local = getenv("SANDBOX_ADDR");
    if (local == nullptr) {
        fprintf(stderr, "startup_bench sends multicast: run it inside tests/harness/sandbox.sh\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int receiver = open_receiver(local);
    const std::vector<std::string> env = {"VORLASK_KERNEL_PORT=" + std::to_string(kernel_port),
                                          "LD_PRELOAD=" + p.redirect};
    std::vector<double> greet;
    std::vector<double> usage_exit;
    std::vector<double> true_exit;
    for (int i = 0; i <= runs; ++i) {
        double t = time_to_exit({"/bin/true"}, {});
        double v = time_to_exit({p.vorlask, "-V"}, env);
        double g = time_to_greeting(p, receiver);
        if (g < 0) {
            return 1;
        }
        if (i == 0) {
            continue;  // warm-up
        }
        true_exit.push_back(t);
        usage_exit.push_back(v);
        greet.push_back(g);
    }
    printf(
        "start-up, median of %d runs: greeting after %.2f ms (fastest %.2f, slowest %.2f); "
        "vorlask -V %.2f ms; /bin/true %.2f ms\n",
        runs, median(greet), *std::min_element(greet.begin(), greet.end()),
        *std::max_element(greet.begin(), greet.end()), median(usage_exit), median(true_exit));
    printf("result startup_ms %.2f\n", median(greet));
    printf("result startup_V_ms %.2f\n", median(usage_exit));
    printf("result startup_true_ms %.2f\n", median(true_exit));
    close(receiver);
    return 0;
}
