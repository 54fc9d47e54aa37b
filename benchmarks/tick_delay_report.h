// The tick delay's figures, once the loop has ended: the latest tick with no
// scan and during each scan's sending, the loop iteration that held it, and the
// longest busy iteration, as "result KEY VALUE" lines and a table of the scans.
#pragma once

#include "handover_harness.h"
#include "tick_delay.h"

// Once the loop has ended: the figures, as "result KEY VALUE" lines and a
// table of the scans.
void print_tick_delay(const Harness& h, const TickDelay& t);
