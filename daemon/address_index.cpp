#include "address_index.h"

size_t slot_count_for(size_t least) {
    size_t slots = 16;
    while (slots < least) {
        slots *= 2;
    }
    return slots;
}
