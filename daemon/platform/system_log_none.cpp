#include "platform.h"

// A C library built without syslog: the message has gone to standard error
// already, which is all there is.
void system_log_error(const char* /*message*/) {}

void system_log_notice(const char* /*message*/) {}
