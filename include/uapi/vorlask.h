/* SPDX-License-Identifier: GPL-2.0 WITH Linux-syscall-note */
/*
 * The netlink protocol between the vorlask kernel module and its daemon,
 * written down once for both ends and for every tool that speaks it.
 *
 * The daemon opens a netlink socket of protocol VORLASK_NETLINK_PROTOCOL and
 * sends one registration message to the kernel's port: a netlink header
 * (type VORLASK_MSG_REGISTER, flags VORLASK_REGISTER_FLAGS, sequence 1)
 * followed by one string attribute VORLASK_ATTR_HELLO holding VORLASK_HELLO,
 * VORLASK_REGISTER_LEN bytes in all. From then on the module sends one probe
 * message per probe request heard to the port that registered: a netlink
 * header of type VORLASK_MSG_PROBE followed by a struct vorlask_probe,
 * VORLASK_PROBE_MSG_LEN bytes in all.
 */
#ifndef _UAPI_VORLASK_H
#define _UAPI_VORLASK_H

#include <linux/types.h>

/* NETLINK_USERSOCK: the protocol number the module's socket serves. */
#define VORLASK_NETLINK_PROTOCOL 2
/* The port id of the kernel's end, where the registration goes. */
#define VORLASK_KERNEL_PORT 0

/* The netlink header that starts every message (struct nlmsghdr). */
#define VORLASK_NLMSG_HDRLEN 16

/* The registration, daemon to module. */
#define VORLASK_MSG_REGISTER 1024
#define VORLASK_REGISTER_FLAGS 0x030B
#define VORLASK_REGISTER_SEQ 1
#define VORLASK_ATTR_HELLO 1234
#define VORLASK_HELLO "HelloKernel"
#define VORLASK_REGISTER_LEN 32

/* One probe message, module to daemon. */
#define VORLASK_MSG_PROBE 1025

/*
 * The payload of one probe message: the transmitter address, the BSSID
 * field of the frame, the signal in dBm, the nl80211 band and the channel
 * frequency in MHz (host byte order).
 */
struct vorlask_probe {
	__u8 mac[6];
	__u8 second_mac[6];
	__s8 rssi;
	__u8 band;
	__u16 freq;
};

/* Byte offsets of the payload's fields and its size. */
#define VORLASK_PROBE_OFF_MAC 0
#define VORLASK_PROBE_OFF_SECOND_MAC 6
#define VORLASK_PROBE_OFF_RSSI 12
#define VORLASK_PROBE_OFF_BAND 13
#define VORLASK_PROBE_OFF_FREQ 14
#define VORLASK_PROBE_LEN 16
#define VORLASK_PROBE_MSG_LEN (VORLASK_NLMSG_HDRLEN + VORLASK_PROBE_LEN)

/* Sent as rssi when the radio gives no signal in dBm. */
#define VORLASK_RSSI_NONE (-128)
/* Sent as band when the frequency is missing or belongs to no known band. */
#define VORLASK_BAND_UNKNOWN 0xff

#endif /* _UAPI_VORLASK_H */
