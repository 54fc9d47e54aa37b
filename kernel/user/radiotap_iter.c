// SPDX-License-Identifier: GPL-2.0
/*
 * Radiotap walk for user space. A header is: version (0), pad, length
 * (le16, the whole header), one or more le32 presence words (bit 31 says
 * another word follows), then the fields in bit order, each aligned to its
 * natural size counted from the start of the header. Bit 29 switches back
 * to the radiotap namespace, bit 30 opens a vendor namespace (OUI, sub
 * namespace, le16 length of its data), each at the next presence word.
 *
 * Everything is counted as offsets into the header and checked against its
 * length before it is read.
 */
#include "radiotap_iter.h"

struct field_shape {
	u8 align;
	u8 size;
};

/* Known fields of the radiotap namespace; align 0 marks a gap. */
static const struct field_shape radiotap_fields[] = {
	[0] = { 8, 8 },		/* TSFT */
	[1] = { 1, 1 },		/* flags */
	[2] = { 1, 1 },		/* rate */
	[3] = { 2, 4 },		/* channel: frequency, flags */
	[4] = { 2, 2 },		/* FHSS */
	[5] = { 1, 1 },		/* dBm antenna signal */
	[6] = { 1, 1 },		/* dBm antenna noise */
	[7] = { 2, 2 },		/* lock quality */
	[8] = { 2, 2 },		/* TX attenuation */
	[9] = { 2, 2 },		/* dB TX attenuation */
	[10] = { 1, 1 },	/* dBm TX power */
	[11] = { 1, 1 },	/* antenna */
	[12] = { 1, 1 },	/* dB antenna signal */
	[13] = { 1, 1 },	/* dB antenna noise */
	[14] = { 2, 2 },	/* RX flags */
	[15] = { 2, 2 },	/* TX flags */
	[16] = { 1, 1 },	/* RTS retries */
	[17] = { 1, 1 },	/* data retries */
	[19] = { 1, 3 },	/* MCS */
	[20] = { 4, 8 },	/* A-MPDU status */
	[21] = { 2, 12 },	/* VHT */
	[22] = { 8, 12 },	/* timestamp */
	[23] = { 2, 12 },	/* HE */
	[24] = { 2, 12 },	/* HE-MU */
	[26] = { 1, 1 },	/* zero-length PSDU */
	[27] = { 2, 4 },	/* L-SIG */
};

#define N_RADIOTAP_FIELDS \
	((int)(sizeof(radiotap_fields) / sizeof(radiotap_fields[0])))

int ieee80211_radiotap_iterator_init(
	struct ieee80211_radiotap_iterator *it,
	struct ieee80211_radiotap_header *radiotap_header, int max_length,
	const struct ieee80211_radiotap_vendor_namespaces *vns)
{
	const u8 *h = (const u8 *)radiotap_header;
	size_t len, off;

	(void)vns;
	if (max_length < (int)sizeof(struct ieee80211_radiotap_header))
		return -EINVAL;
	if (h[0] != 0)
		return -EINVAL;
	len = get_unaligned_le16(h + 2);
	if ((size_t)max_length < len)
		return -EINVAL;

	memset(it, 0, sizeof(*it));
	it->_rtheader = h;
	it->_max_length = len;
	it->_bitmap_shifter = get_unaligned_le32(h + 4);
	it->_next_bitmap = 8;
	it->_known_ns = true;
	it->is_radiotap_ns = 1;

	/* the fields start after the last presence word */
	off = 4;
	if (it->_bitmap_shifter & (1u << IEEE80211_RADIOTAP_EXT)) {
		for (;;) {
			off += 4;
			if (off + 4 > len)
				return -EINVAL;
			if (!(get_unaligned_le32(h + off) &
			      (1u << IEEE80211_RADIOTAP_EXT)))
				break;
		}
	}
	it->_arg = off + 4;
	if (it->_arg > len)
		return -EINVAL;
	it->this_arg = (unsigned char *)h + it->_arg;
	return 0;
}

static void advance(struct ieee80211_radiotap_iterator *it)
{
	it->_bitmap_shifter >>= 1;
	it->_arg_index++;
}

int ieee80211_radiotap_iterator_next(struct ieee80211_radiotap_iterator *it)
{
	for (;;) {
		int bit = it->_arg_index % 32;
		size_t align, size, pad;

		if (bit == IEEE80211_RADIOTAP_EXT &&
		    !(it->_bitmap_shifter & 1))
			return -ENOENT;
		if (!(it->_bitmap_shifter & 1)) {
			advance(it);
			continue;
		}

		switch (bit) {
		case IEEE80211_RADIOTAP_RADIOTAP_NAMESPACE:
		case IEEE80211_RADIOTAP_EXT:
			align = 1;
			size = 0;
			break;
		case IEEE80211_RADIOTAP_VENDOR_NAMESPACE:
			align = 2;
			size = 6;
			break;
		default:
			if (!it->_known_ns) {
				/* inside a vendor namespace: skip its data */
				it->_arg = it->_next_ns_data;
				advance(it);
				continue;
			}
			if (it->_arg_index >= N_RADIOTAP_FIELDS ||
			    !radiotap_fields[it->_arg_index].align)
				return -ENOENT;	/* unknown size: stop */
			align = radiotap_fields[it->_arg_index].align;
			size = radiotap_fields[it->_arg_index].size;
			break;
		}

		pad = it->_arg & (align - 1);
		if (pad)
			it->_arg += align - pad;

		if (bit == IEEE80211_RADIOTAP_VENDOR_NAMESPACE) {
			if (it->_arg + size > it->_max_length)
				return -EINVAL;
			/* no vendor namespace is known: its data is one
			 * raw argument
			 */
			size += get_unaligned_le16(it->_rtheader + it->_arg + 4);
			it->_next_ns_data = it->_arg + size;
		}

		it->this_arg_index = it->_arg_index;
		it->this_arg = (unsigned char *)it->_rtheader + it->_arg;
		it->this_arg_size = (int)size;
		it->_arg += size;
		if (it->_arg > it->_max_length)
			return -EINVAL;

		switch (bit) {
		case IEEE80211_RADIOTAP_VENDOR_NAMESPACE:
			it->_reset_on_ext = 1;
			it->is_radiotap_ns = 0;
			it->_known_ns = false;
			it->this_arg_index = IEEE80211_RADIOTAP_VENDOR_NAMESPACE;
			advance(it);
			return 0;
		case IEEE80211_RADIOTAP_RADIOTAP_NAMESPACE:
			it->_reset_on_ext = 1;
			it->is_radiotap_ns = 1;
			it->_known_ns = true;
			advance(it);
			break;
		case IEEE80211_RADIOTAP_EXT:
			/* the presence words were bounds-checked by init */
			it->_bitmap_shifter = get_unaligned_le32(it->_rtheader +
								 it->_next_bitmap);
			it->_next_bitmap += 4;
			if (it->_reset_on_ext)
				it->_arg_index = 0;
			else
				it->_arg_index++;
			it->_reset_on_ext = 0;
			break;
		default:
			advance(it);
			return 0;
		}
	}
}
