/* Every C library call that the daemon and libchameleon make, with the
 * headers they include, in C so that a small C library's compiler (musl's
 * mipsel-linux-musl-gcc) can build and link it: a call that library lacks
 * fails the link here rather than on a router. Run under emulation, it also
 * makes the harmless calls and prints what they gave. The calls the build
 * probes for (close_range, get_current_dir_name, getpagesize, syslog,
 * NETLINK_NO_ENOBUFS, SO_MEMINFO) are checked one by one by the stage. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/netlink.h>
#include <math.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

static void on_signal(int sig) { (void)sig; }

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t once = PTHREAD_ONCE_INIT;
static void first(void) {}

int main(int argc, char** argv) {
    static const struct option options[] = {{"timemax", required_argument, NULL, 'T'},
                                            {NULL, 0, NULL, 0}};
    int opt;
    setvbuf(stdout, NULL, _IOLBF, 0);
    signal(SIGINT, on_signal);
    while ((opt = getopt_long(argc, argv, ":T:", options, NULL)) != -1) {
        if (opt == 'T') {
            say("timemax %ld\n", strtol(optarg, NULL, 10));
        } else if (opt == '?') {
            fprintf(stderr, "unknown option %c\n", optopt);
        }
    }
    say("atof %.1f ceil %.1f\n", atof("2.5"), ceil(2.5));

    struct timeval now;
    gettimeofday(&now, NULL);
    say("sizeof(time_t) %u, gettimeofday %lld s\n", (unsigned)sizeof(time_t),
        (long long)now.tv_sec);
    struct timespec span = {0, 1000000};
    nanosleep(&span, NULL);

    char cwd[256];
    say("getcwd %s\n", getcwd(cwd, sizeof cwd) ? cwd : strerror(errno));
    say("sysconf(_SC_PAGESIZE) %ld\n", sysconf(_SC_PAGESIZE));
    struct rlimit limit;
    say("getrlimit %d\n", getrlimit(RLIMIT_NOFILE, &limit));
    say("access /proc %d\n", access("/proc", R_OK));

    DIR* dir = opendir("/proc/self/fd");
    int entries = 0;
    if (dir != NULL) {
        say("dirfd %d\n", dirfd(dir) >= 0);
        while (readdir(dir) != NULL) {
            ++entries;
        }
        closedir(dir);
    }
    say("/proc/self/fd entries %d\n", entries);

    int fd = open("/dev/null", O_WRONLY);
    ssize_t written = write(fd, "x", 1);
    say("open, write %zd, close %d\n", written, close(fd));

    int nl = socket(AF_NETLINK, SOCK_RAW, NETLINK_USERSOCK);
    int bufsize = 0;
    socklen_t len = sizeof bufsize;
    if (nl >= 0) {
        setsockopt(nl, SOL_SOCKET, SO_RCVBUF, &bufsize, sizeof bufsize);
        getsockopt(nl, SOL_SOCKET, SO_RCVBUF, &bufsize, &len);
        struct sockaddr_nl kernel;
        memset(&kernel, 0, sizeof kernel);
        kernel.nl_family = AF_NETLINK;
        say("connect to the kernel %d\n", connect(nl, (struct sockaddr*)&kernel, sizeof kernel));
        char byte;
        struct iovec iov = {&byte, 1};
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &kernel;
        msg.msg_namelen = sizeof kernel;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        say("recvmsg with nothing pending %zd\n", recvmsg(nl, &msg, MSG_DONTWAIT));
        close(nl);
    }
    say("netlink socket %s\n", nl >= 0 ? "opened" : strerror(errno));

    pthread_mutex_lock(&lock);
    pthread_mutex_unlock(&lock);
    pthread_once(&once, first);

    char* copy = malloc(16);
    memset(copy, 0, 16);
    memcpy(copy, "abc", 3);
    memmove(copy + 1, copy, 3);
    say("strlen %u\n", (unsigned)strlen(copy));
    free(copy);
    fflush(stdout);

    /* Calls with effects, made only when asked: a fork that detaches. */
    if (getenv("LIBC_CALLS_DETACH") != NULL) {
        /* The detached child tells the parent through a pipe how its
         * start-up went; the parent waits for it, bounded. */
        int ends[2];
        if (pipe(ends) != 0) {
            abort();
        }
        pid_t pid = fork();
        if (pid == 0) {
            setsid();
            umask(0);
            signal(SIGPIPE, SIG_IGN);
            if (chdir("/") != 0) {
                perror("chdir");
            }
            dup2(ends[1], 3);
            fcntl(3, F_SETFD, FD_CLOEXEC);
            close(fcntl(3, F_DUPFD_CLOEXEC, 4));
            ssize_t told = write(3, "", 1);
            _exit(told == 1 ? 0 : 1);
        }
        if (pid < 0) {
            abort();
        }
        close(ends[1]);
        struct pollfd p = {ends[0], POLLIN, 0};
        char mark = 'x';
        int ready = poll(&p, 1, 5000);
        ssize_t got = ready > 0 ? read(ends[0], &mark, 1) : -1;
        say("start-up outcome %zd %s\n", got, memchr(&mark, 0, 1) != NULL ? "finished" : "?");
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) {
            kill(pid, SIGKILL);
        }
        usleep(1000);
    }
    (void)syscall;
    (void)fputc;
    (void)fputs;
    exit(0);
}
