#include "platform.h"

bool socket_drop_count(int /*fd*/, uint32_t& /*drops*/) {
    return false;
}
