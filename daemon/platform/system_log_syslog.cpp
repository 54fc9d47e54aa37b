#include <syslog.h>

#include "platform.h"

void system_log_error(const char* message) {
    openlog("vorlask", LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "%s", message);
    closelog();
}

void system_log_notice(const char* message) {
    openlog("vorlask", LOG_PID, LOG_DAEMON);
    syslog(LOG_NOTICE, "%s", message);
    closelog();
}
