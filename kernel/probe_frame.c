// SPDX-License-Identifier: GPL-2.0
/*
 * Frame to probe record: radiotap fields through the radiotap iterator, the
 * 802.11 management header by fixed offsets.
 */
#include "probe_frame.h"

/* 802.11 frame control, first two bytes of the frame, little endian. */
#define FC_VERSION_MASK		0x0003
#define FC_TYPE_MASK		0x000c
#define FC_SUBTYPE_MASK		0x00f0
#define FC_TYPE_MGMT		0x0000
#define FC_SUBTYPE_PROBE_REQ	0x0040

/* frame control, duration, addr1 (receiver), addr2 (transmitter), addr3
 * (BSSID), sequence control
 */
#define MGMT_HDR_LEN		24
#define MGMT_ADDR2		10
#define MGMT_ADDR3		16
#define FCS_LEN			4

/* radiotap flags field */
#define RTAP_FLAG_FCS		0x10
#define RTAP_FLAG_BADFCS	0x40

u8 vorlask_band_of_freq(u16 freq)
{
	if (freq >= 750 && freq < 1000)
		return NL80211_BAND_S1GHZ;
	if (freq >= 2400 && freq < 2500)
		return NL80211_BAND_2GHZ;
	/* 5935 MHz is channel 2 of the 6 GHz band, below 5 GHz channel 177 */
	if (freq == 5935 || (freq >= 5950 && freq <= 7125))
		return NL80211_BAND_6GHZ;
	if (freq >= 4900 && freq < 5935)
		return NL80211_BAND_5GHZ;
	if (freq >= 57000)
		return NL80211_BAND_60GHZ;
	return VORLASK_BAND_UNKNOWN;
}

enum vorlask_frame_result vorlask_frame_to_probe(const u8 *frame, size_t len,
						 struct vorlask_probe *probe)
{
	struct ieee80211_radiotap_iterator it;
	const struct ieee80211_radiotap_header *rtap;
	const u8 *hdr;
	size_t rtap_len, body_len;
	bool have_signal = false;
	s8 rssi = VORLASK_RSSI_NONE;
	u8 flags = 0;
	u16 freq = 0;
	u16 fc;
	int err;

	if (len < sizeof(*rtap))
		return VORLASK_FRAME_MALFORMED;
	/* the iterator counts in int; a radiotap header is at most 64 KiB */
	if (len > 0xffff + MGMT_HDR_LEN + FCS_LEN)
		len = 0xffff + MGMT_HDR_LEN + FCS_LEN;

	/* the iterator takes a writable header but only reads it */
	err = ieee80211_radiotap_iterator_init(&it,
			(struct ieee80211_radiotap_header *)frame, (int)len,
			NULL);
	if (err)
		return VORLASK_FRAME_MALFORMED;

	while (!(err = ieee80211_radiotap_iterator_next(&it))) {
		if (!it.is_radiotap_ns)
			continue;
		switch (it.this_arg_index) {
		case IEEE80211_RADIOTAP_FLAGS:
			flags = *it.this_arg;
			break;
		case IEEE80211_RADIOTAP_CHANNEL:
			freq = get_unaligned_le16(it.this_arg);
			break;
		case IEEE80211_RADIOTAP_DBM_ANTSIGNAL:
			/* the first one is the combined signal; later
			 * radiotap namespaces repeat it per antenna
			 */
			if (!have_signal) {
				rssi = (s8)*it.this_arg;
				have_signal = true;
			}
			break;
		default:
			break;
		}
	}
	if (err != -ENOENT)
		return VORLASK_FRAME_MALFORMED;

	rtap = (const struct ieee80211_radiotap_header *)frame;
	rtap_len = get_unaligned_le16(&rtap->it_len);
	hdr = frame + rtap_len;
	body_len = len - rtap_len;	/* the iterator checked rtap_len <= len */
	if (flags & RTAP_FLAG_FCS) {
		if (body_len < FCS_LEN)
			return VORLASK_FRAME_MALFORMED;
		body_len -= FCS_LEN;
	}
	if (body_len < 2)
		return VORLASK_FRAME_MALFORMED;
	if (flags & RTAP_FLAG_BADFCS)
		return VORLASK_FRAME_BAD_FCS;

	fc = get_unaligned_le16(hdr);
	if ((fc & FC_VERSION_MASK) != 0 ||
	    (fc & FC_TYPE_MASK) != FC_TYPE_MGMT ||
	    (fc & FC_SUBTYPE_MASK) != FC_SUBTYPE_PROBE_REQ)
		return VORLASK_FRAME_OTHER;
	if (body_len < MGMT_HDR_LEN)
		return VORLASK_FRAME_MALFORMED;

	memcpy(probe->mac, hdr + MGMT_ADDR2, 6);
	memcpy(probe->second_mac, hdr + MGMT_ADDR3, 6);
	probe->rssi = rssi;
	probe->freq = freq;
	probe->band = freq ? vorlask_band_of_freq(freq) : VORLASK_BAND_UNKNOWN;
	return VORLASK_FRAME_PROBE;
}
