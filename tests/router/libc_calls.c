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
        pid_t pid = fork();
        if (pid == 0) {
            setsid();
            umask(0);
            if (chdir("/") != 0) {
                perror("chdir");
            }
            _exit(0);
        }
        if (pid < 0) {
            abort();
        }
    }
    (void)syscall;
    (void)fputc;
    (void)fputs;
    exit(0);
}
