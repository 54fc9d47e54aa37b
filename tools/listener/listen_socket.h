// The listener's socket: a UDP socket on the group's port, joined to the
// group on the default interface, printing one line per datagram and
// answering greetings and reports when asked to.
#pragma once

#include "listen_options.h"

// Runs until --count datagrams came, --timeout seconds passed or a socket
// error. Returns the process exit status: 0 done, 1 socket set-up or receive
// error, 3 the timeout came before --count datagrams.
int run_listener(const ListenOptions& options);
