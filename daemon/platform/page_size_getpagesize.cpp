#include <unistd.h>

#include "platform.h"

size_t page_size() {
    return static_cast<size_t>(getpagesize());
}
