#include "coverage.h"

void flush_coverage() {}
