/* Sets the guest's wall clock to SECONDS since the epoch, also past 2038
 * (built with 64-bit time; the guest's busybox has a 32-bit time_t). */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: set-clock SECONDS\n");
        return 2;
    }
    struct timespec t = {(time_t)strtoll(argv[1], NULL, 10), 0};
    if (clock_settime(CLOCK_REALTIME, &t) != 0) {
        perror("clock_settime");
        return 1;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    printf("clock set to %lld\n", (long long)now.tv_sec);
    return 0;
}
