#include "platform.h"

bool close_range_from(int /*lowest*/) {
    return false;
}
