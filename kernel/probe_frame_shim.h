/* SPDX-License-Identifier: GPL-2.0 */
/*
 * What probe_frame.c needs from its surroundings: fixed-width types, errno
 * values, little-endian loads, the radiotap header and the bounds-checked
 * radiotap iterator. In the kernel these come from cfg80211; in user space
 * from user/radiotap_iter.h, which offers the same interface.
 */
#ifndef VORLASK_PROBE_FRAME_SHIM_H
#define VORLASK_PROBE_FRAME_SHIM_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/errno.h>
#include <linux/string.h>
#include <linux/nl80211.h>
#include <asm/unaligned.h>
#include <net/cfg80211.h>
#include <net/ieee80211_radiotap.h>
#else
#include <linux/nl80211.h>
#include "user/radiotap_iter.h"
#endif

#endif /* VORLASK_PROBE_FRAME_SHIM_H */
