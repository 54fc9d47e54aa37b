/* SPDX-License-Identifier: GPL-2.0 */
/*
 * User-space stand-in for the kernel's radiotap iterator (cfg80211): the
 * same structure fields that callers use, the same functions and the same
 * results (0 for a field, -ENOENT at the end, -EINVAL for a header that
 * claims more than it holds). Lets probe_frame.c build outside the kernel.
 */
#ifndef VORLASK_USER_RADIOTAP_ITER_H
#define VORLASK_USER_RADIOTAP_ITER_H

#include <errno.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t u8;
typedef int8_t s8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint16_t __le16;
typedef uint32_t __le32;

static inline u16 get_unaligned_le16(const void *p)
{
	const u8 *b = (const u8 *)p;

	return (u16)(b[0] | (b[1] << 8));
}

static inline u32 get_unaligned_le32(const void *p)
{
	const u8 *b = (const u8 *)p;

	return (u32)b[0] | ((u32)b[1] << 8) | ((u32)b[2] << 16) |
	       ((u32)b[3] << 24);
}

struct ieee80211_radiotap_header {
	u8 it_version;
	u8 it_pad;
	__le16 it_len;
	__le32 it_present;
} __attribute__((packed));

enum ieee80211_radiotap_presence {
	IEEE80211_RADIOTAP_TSFT = 0,
	IEEE80211_RADIOTAP_FLAGS = 1,
	IEEE80211_RADIOTAP_RATE = 2,
	IEEE80211_RADIOTAP_CHANNEL = 3,
	IEEE80211_RADIOTAP_FHSS = 4,
	IEEE80211_RADIOTAP_DBM_ANTSIGNAL = 5,
	IEEE80211_RADIOTAP_DBM_ANTNOISE = 6,
	IEEE80211_RADIOTAP_RADIOTAP_NAMESPACE = 29,
	IEEE80211_RADIOTAP_VENDOR_NAMESPACE = 30,
	IEEE80211_RADIOTAP_EXT = 31,
};

/* Vendor namespaces are never registered here; the type exists for the
 * signature only.
 */
struct ieee80211_radiotap_vendor_namespaces;

struct ieee80211_radiotap_iterator {
	/* for callers */
	unsigned char *this_arg;
	int this_arg_index;
	int this_arg_size;
	int is_radiotap_ns;

	/* internal state, offsets from the start of the header */
	const u8 *_rtheader;
	size_t _max_length;
	size_t _arg;
	size_t _next_ns_data;
	size_t _next_bitmap;
	int _arg_index;
	u32 _bitmap_shifter;
	int _reset_on_ext;
	bool _known_ns;
};

int ieee80211_radiotap_iterator_init(
	struct ieee80211_radiotap_iterator *iterator,
	struct ieee80211_radiotap_header *radiotap_header, int max_length,
	const struct ieee80211_radiotap_vendor_namespaces *vns);

int ieee80211_radiotap_iterator_next(
	struct ieee80211_radiotap_iterator *iterator);

#ifdef __cplusplus
}
#endif

#endif /* VORLASK_USER_RADIOTAP_ITER_H */
