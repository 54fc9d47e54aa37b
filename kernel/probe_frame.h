/* SPDX-License-Identifier: GPL-2.0 */
/*
 * From one received 802.11 frame with its radiotap header to the 16-byte
 * probe record that the vorlask daemon decodes. Plain C: the same source is
 * built into the kernel module and, through a small user-space shim, into
 * the unit tests, the fuzz target and the capture replay tool.
 */
#ifndef VORLASK_PROBE_FRAME_H
#define VORLASK_PROBE_FRAME_H

#include "probe_frame_shim.h"
#include "uapi/vorlask.h"

enum vorlask_frame_result {
	VORLASK_FRAME_PROBE,		/* a probe request; the record is filled */
	VORLASK_FRAME_OTHER,		/* a well-formed frame of another kind */
	VORLASK_FRAME_MALFORMED,	/* short, truncated or bad radiotap */
	VORLASK_FRAME_BAD_FCS,		/* the radio says its checksum failed */
};

/*
 * Looks at @len bytes at @frame: a radiotap header followed by an 802.11
 * frame. Never reads outside them. Fills @probe only for a probe request.
 */
enum vorlask_frame_result vorlask_frame_to_probe(const u8 *frame, size_t len,
						 struct vorlask_probe *probe);

/* The nl80211 band of a channel frequency in MHz, or VORLASK_BAND_UNKNOWN. */
u8 vorlask_band_of_freq(u16 freq);

#endif /* VORLASK_PROBE_FRAME_H */
