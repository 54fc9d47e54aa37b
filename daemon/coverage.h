// Coverage counters and the daemon's ends that skip exit handlers.
#pragma once

// Writes the coverage counters out in a coverage build (VORLASK_COVERAGE),
// where the process is about to end by _exit; does nothing in any other build.
void flush_coverage();
