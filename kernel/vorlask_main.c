// SPDX-License-Identifier: GPL-2.0
/*
 * vorlask: the kernel end of the vorlask probe channel.
 *
 * Watches monitor interfaces (radiotap link type) and sends one 32-byte
 * netlink message per 802.11 probe request to the daemon that registered on
 * NETLINK_USERSOCK. Counters are in /proc/net/vorlask.
 *
 * NETLINK_USERSOCK is registered by af_netlink itself at boot as a protocol
 * for user-space peers, without a kernel socket. netlink_kernel_create() on
 * an already registered protocol only raises the table's use count and keeps
 * its settings (groups, and the flags that let unprivileged sockets send and
 * receive), then binds our kernel socket to port 0 of init_net. Releasing it
 * drops the count back, so user-space use of protocol 2 keeps working before,
 * while and after the module is loaded. Only one kernel socket per network
 * namespace can hold port 0: loading fails if another module already has it.
 * Unprivileged senders reach port 0 too, so by default (privileged=1) a
 * registration is taken only from a sender with CAP_NET_ADMIN: otherwise any
 * local user could take the channel over from the daemon. privileged=0 takes
 * it from any sender.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/atomic.h>
#include <linux/delay.h>
#include <linux/if_arp.h>
#include <linux/list.h>
#include <linux/module.h>
#include <linux/netdevice.h>
#include <linux/netlink.h>
#include <linux/proc_fs.h>
#include <linux/rtnetlink.h>
#include <linux/seq_file.h>
#include <linux/skbuff.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <net/net_namespace.h>
#include <net/netlink.h>
#include <net/sock.h>

#include "probe_frame.h"


/* bytes of a non-linear frame copied for parsing */
#define VORLASK_PEEK_LEN	256
#define VORLASK_MAX_WATCH	8

static char *monitor = "";
module_param(monitor, charp, 0444);
MODULE_PARM_DESC(monitor,
		 "Comma-separated names of the monitor interfaces to watch (empty: every radiotap interface)");

static bool privileged = true;
module_param(privileged, bool, 0644);
MODULE_PARM_DESC(privileged,
		 "Take a registration only from a sender with CAP_NET_ADMIN (default: on; 0 takes it from any sender)");

static char watch_names[VORLASK_MAX_WATCH][IFNAMSIZ];
static int n_watch_names;

static struct sock *nl_sk;
/* port id of the registered daemon, 0 while none is registered */
static u32 daemon_port;
static atomic_t probe_seq = ATOMIC_INIT(0);

static struct {
	atomic_long_t registrations;
	atomic_long_t ignored;
	atomic_long_t refused;
	atomic_long_t frames;
	atomic_long_t probes;
	atomic_long_t sent;
	atomic_long_t send_failures;
	atomic_long_t unreachable;
	atomic_long_t unregistered;
	atomic_long_t malformed;
	atomic_long_t bad_fcs;
} stats;

struct vorlask_tap {
	struct list_head list;
	struct packet_type pt;
	struct net_device *dev;
};

/* taps on the watched interfaces; changed and walked under RTNL */
static LIST_HEAD(taps);

static void vorlask_send(const struct vorlask_probe *probe)
{
	struct sk_buff *skb;
	struct nlmsghdr *nlh;
	u32 port = READ_ONCE(daemon_port);
	int err;

	if (!port) {
		atomic_long_inc(&stats.unregistered);
		return;
	}
	skb = nlmsg_new(sizeof(*probe), GFP_ATOMIC);
	if (!skb)
		goto fail;
	nlh = nlmsg_put(skb, 0, (u32)atomic_inc_return(&probe_seq),
			VORLASK_MSG_PROBE, sizeof(*probe), 0);
	if (!nlh) {
		kfree_skb(skb);
		goto fail;
	}
	memcpy(nlmsg_data(nlh), probe, sizeof(*probe));

	/* consumes the skb in every case; never waits */
	err = netlink_unicast(nl_sk, skb, port, MSG_DONTWAIT);
	if (err >= 0) {
		atomic_long_inc(&stats.sent);
		return;
	}
	if (err == -ECONNREFUSED) {
		/* the daemon's socket is gone: quiet until it registers
		 * again, unless it already has with a new port
		 */
		cmpxchg(&daemon_port, port, 0);
		atomic_long_inc(&stats.unreachable);
	}
fail:
	atomic_long_inc(&stats.send_failures);
}

static int vorlask_rcv(struct sk_buff *skb, struct net_device *dev,
		       struct packet_type *pt, struct net_device *orig_dev)
{
	u8 peek[VORLASK_PEEK_LEN];
	struct vorlask_probe probe;
	const u8 *data;
	unsigned int len;

	/* a monitor interface's own injected frames come back as outgoing */
	if (dev->type != ARPHRD_IEEE80211_RADIOTAP ||
	    skb->pkt_type == PACKET_OUTGOING)
		goto out;

	atomic_long_inc(&stats.frames);
	len = skb->len;
	if (len > skb_headlen(skb) && len > sizeof(peek))
		len = sizeof(peek);
	data = skb_header_pointer(skb, 0, len, peek);
	if (!data) {
		atomic_long_inc(&stats.malformed);
		goto out;
	}

	switch (vorlask_frame_to_probe(data, len, &probe)) {
	case VORLASK_FRAME_PROBE:
		atomic_long_inc(&stats.probes);
		vorlask_send(&probe);
		break;
	case VORLASK_FRAME_MALFORMED:
		atomic_long_inc(&stats.malformed);
		break;
	case VORLASK_FRAME_BAD_FCS:
		atomic_long_inc(&stats.bad_fcs);
		break;
	case VORLASK_FRAME_OTHER:
		break;
	}
out:
	consume_skb(skb);
	return NET_RX_SUCCESS;
}

static bool is_registration(const struct nlmsghdr *nlh)
{
	const struct nlattr *attr;

	if (nlh->nlmsg_type != VORLASK_MSG_REGISTER)
		return false;
	attr = nla_find(nlmsg_attrdata(nlh, 0), nlmsg_attrlen(nlh, 0),
			VORLASK_ATTR_HELLO);
	return attr && nla_strcmp(attr, VORLASK_HELLO) == 0;
}

/*
 * Messages from user space, in the sender's context. Nothing is ever sent
 * back: every datagram the daemon gets is read as a probe record.
 */
static void vorlask_nl_input(struct sk_buff *skb)
{
	struct nlmsghdr *nlh = (struct nlmsghdr *)skb->data;
	int rem = skb->len;
	bool any = false;

	for (; nlmsg_ok(nlh, rem); nlh = nlmsg_next(nlh, &rem)) {
		any = true;
		if (!is_registration(nlh)) {
			atomic_long_inc(&stats.ignored);
			continue;
		}
		if (READ_ONCE(privileged) &&
		    !netlink_net_capable(skb, CAP_NET_ADMIN)) {
			atomic_long_inc(&stats.refused);
			continue;
		}
		/* a restarted daemon replaces the one before */
		WRITE_ONCE(daemon_port, NETLINK_CB(skb).portid);
		atomic_long_inc(&stats.registrations);
		pr_info("daemon registered at port %u\n",
			NETLINK_CB(skb).portid);
	}
	if (!any)
		atomic_long_inc(&stats.ignored);
}

static bool is_watched(const struct net_device *dev)
{
	int i;

	if (!net_eq(dev_net(dev), &init_net))
		return false;
	if (!n_watch_names)
		return dev->type == ARPHRD_IEEE80211_RADIOTAP;
	for (i = 0; i < n_watch_names; i++)
		if (!strcmp(dev->name, watch_names[i]))
			return true;
	return false;
}

static struct vorlask_tap *find_tap(const struct net_device *dev)
{
	struct vorlask_tap *tap;

	list_for_each_entry(tap, &taps, list)
		if (tap->dev == dev)
			return tap;
	return NULL;
}

static void attach(struct net_device *dev)
{
	struct vorlask_tap *tap;

	ASSERT_RTNL();
	if (find_tap(dev))
		return;
	tap = kzalloc(sizeof(*tap), GFP_KERNEL);
	if (!tap) {
		pr_err("no memory to watch %s\n", dev->name);
		return;
	}
	tap->dev = dev;
	tap->pt.type = htons(ETH_P_ALL);
	tap->pt.dev = dev;
	tap->pt.func = vorlask_rcv;
	dev_add_pack(&tap->pt);
	list_add(&tap->list, &taps);
	pr_info("watching %s\n", dev->name);
}

static void detach(struct net_device *dev)
{
	struct vorlask_tap *tap;

	ASSERT_RTNL();
	tap = find_tap(dev);
	if (!tap)
		return;
	list_del(&tap->list);
	/* waits until no receive handler runs on this tap */
	dev_remove_pack(&tap->pt);
	pr_info("stopped watching %s\n", dev->name);
	kfree(tap);
}

static int vorlask_netdev_event(struct notifier_block *nb,
				unsigned long event, void *ptr)
{
	struct net_device *dev = netdev_notifier_info_to_dev(ptr);

	switch (event) {
	case NETDEV_REGISTER:
	case NETDEV_UP:
	case NETDEV_CHANGENAME:
		if (is_watched(dev))
			attach(dev);
		else if (event == NETDEV_CHANGENAME)
			detach(dev);
		break;
	case NETDEV_UNREGISTER:
		detach(dev);
		break;
	}
	return NOTIFY_DONE;
}

static struct notifier_block vorlask_netdev_nb = {
	.notifier_call = vorlask_netdev_event,
};

static int vorlask_proc_show(struct seq_file *m, void *v)
{
	struct vorlask_tap *tap;
	u32 port = READ_ONCE(daemon_port);

	if (port)
		seq_printf(m, "port %u\n", port);
	else
		seq_puts(m, "port none\n");
	seq_puts(m, "watching");
	rtnl_lock();
	list_for_each_entry(tap, &taps, list)
		seq_printf(m, " %s", tap->dev->name);
	rtnl_unlock();
	seq_putc(m, '\n');
#define SHOW(name) \
	seq_printf(m, #name " %ld\n", atomic_long_read(&stats.name))
	SHOW(registrations);
	SHOW(ignored);
	SHOW(refused);
	SHOW(frames);
	SHOW(probes);
	SHOW(sent);
	SHOW(send_failures);
	SHOW(unreachable);
	SHOW(unregistered);
	SHOW(malformed);
	SHOW(bad_fcs);
#undef SHOW
	return 0;
}

static int parse_monitor_param(void)
{
	const char *p = monitor;

	n_watch_names = 0;
	while (p && *p) {
		size_t n = strcspn(p, ",");

		if (n) {
			if (n >= IFNAMSIZ || n_watch_names == VORLASK_MAX_WATCH) {
				pr_err("bad monitor list \"%s\"\n", monitor);
				return -EINVAL;
			}
			memcpy(watch_names[n_watch_names], p, n);
			watch_names[n_watch_names][n] = '\0';
			n_watch_names++;
		}
		p += n;
		if (*p == ',')
			p++;
	}
	return 0;
}

/*
 * Releases the kernel socket and waits until no sender is inside
 * vorlask_nl_input() any more: a sender holds a reference on the socket
 * from its lookup until the input callback has returned.
 */
static void release_socket(void)
{
	struct sock *sk = nl_sk;

	sock_hold(sk);
	netlink_kernel_release(sk);
	/* lookups that found the socket before it left the table */
	synchronize_rcu();
	while (refcount_read(&sk->sk_refcnt) > 1)
		msleep(1);
	sock_put(sk);
	nl_sk = NULL;
}

static int __init vorlask_init(void)
{
	struct netlink_kernel_cfg cfg = {
		.input = vorlask_nl_input,
	};
	int err;

	BUILD_BUG_ON(sizeof(struct vorlask_probe) != 16);
	err = parse_monitor_param();
	if (err)
		return err;

	nl_sk = netlink_kernel_create(&init_net, NETLINK_USERSOCK, &cfg);
	if (!nl_sk) {
		pr_err("cannot own NETLINK_USERSOCK (is another kernel socket on it?)\n");
		return -EBUSY;
	}
	if (!proc_create_single("vorlask", 0444, init_net.proc_net,
				vorlask_proc_show)) {
		err = -ENOMEM;
		goto fail_proc;
	}
	/* also reports the interfaces that exist already */
	err = register_netdevice_notifier(&vorlask_netdev_nb);
	if (err)
		goto fail_notifier;
	return 0;

fail_notifier:
	remove_proc_entry("vorlask", init_net.proc_net);
fail_proc:
	release_socket();
	return err;
}

static void __exit vorlask_exit(void)
{
	struct vorlask_tap *tap, *next;

	/* reports every interface as going away, which detaches it */
	unregister_netdevice_notifier(&vorlask_netdev_nb);
	rtnl_lock();
	list_for_each_entry_safe(tap, next, &taps, list) {
		list_del(&tap->list);
		__dev_remove_pack(&tap->pt);
		kfree(tap);
	}
	rtnl_unlock();
	/* no receive handler runs after this, so none sends any more */
	synchronize_net();
	remove_proc_entry("vorlask", init_net.proc_net);
	release_socket();
}

module_init(vorlask_init);
module_exit(vorlask_exit);

MODULE_DESCRIPTION("Reports 802.11 probe requests on monitor interfaces to the vorlask daemon");
MODULE_LICENSE("GPL");
