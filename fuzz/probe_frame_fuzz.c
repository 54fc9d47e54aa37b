// The kernel module's frame-to-record step on arbitrary bytes: radiotap
// headers and 802.11 frames of any shape. Besides the sanitizers' own
// checks, a frame taken as a probe request must give back the addresses
// that stand in it, and its band must follow its frequency.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "probe_frame.h"

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so that reading past it is caught.
    uint8_t* frame = malloc(size ? size : 1);
    if (!frame) {
        return 0;
    }
    if (size) {
        memcpy(frame, data, size);
    }
    struct vorlask_probe probe;
    enum vorlask_frame_result r = vorlask_frame_to_probe(frame, size, &probe);
    if (r == VORLASK_FRAME_PROBE) {
        size_t rtap_len = (size_t)frame[2] | ((size_t)frame[3] << 8);
        if (rtap_len + 24 > size || memcmp(probe.mac, frame + rtap_len + 10, 6) != 0 ||
            memcmp(probe.second_mac, frame + rtap_len + 16, 6) != 0) {
            abort();
        }
        uint8_t band = probe.freq ? vorlask_band_of_freq(probe.freq) : VORLASK_BAND_UNKNOWN;
        if (probe.band != band) {
            abort();
        }
    } else if (r != VORLASK_FRAME_OTHER && r != VORLASK_FRAME_MALFORMED &&
               r != VORLASK_FRAME_BAD_FCS) {
        abort();
    }
    free(frame);
    return 0;
}
