// The entry point's timers and signal handling: the 1-second tick that ends
// the run, the scan timer that wakes the scan worker, and Ctrl-C.
#pragma once

#include <uv.h>

struct NlSession;

void start_timers(NlSession* session);
void tick_cb(uv_timer_t* handle);
void scan_timer_cb(uv_timer_t* handle);
// Installed for SIGINT, SIGTERM and SIGHUP: the next tick stops the daemon.
void handle_sigint(int signal);
