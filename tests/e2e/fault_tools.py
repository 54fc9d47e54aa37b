#!/usr/bin/env python3
"""Small helpers of the fault runs (tests/e2e/faults.sh), for use inside the
test's own sandbox only.

  fault_tools.py nl-port PID             the daemon's netlink port id
  fault_tools.py udp-port PID            the daemon's UDP port and its drop count
  fault_tools.py drained nl|udp PID      status 0 when nothing waits in the
                                         receive queue of its netlink or UDP socket
  fault_tools.py nl-send --to PORTID|--group N [--from PORTID] [--stations S]
                 [--count N] [--short K] [--prefix HEX]
                                         probe messages straight to the daemon
  fault_tools.py nl-join PID GROUP [--enobufs]
                                         adds the daemon's netlink socket to a
                                         multicast group (through a duplicate of
                                         its descriptor); --enobufs also lets the
                                         socket report overruns as errors again
  fault_tools.py udp-flood --to ADDR:PORT --count N [--max-len L] [--seed S]
                 [--expect FILE] [--seconds S]
                                         datagrams of random length, FILE gets
                                         the line the daemon prints for each
"""
import argparse
import ctypes
import os
import random
import socket
import struct
import sys
import time

NETLINK_USERSOCK = 2
SOL_NETLINK = 270
NETLINK_ADD_MEMBERSHIP = 1
NETLINK_NO_ENOBUFS = 5
SYS_PIDFD_OPEN = 434
SYS_PIDFD_GETFD = 438


def socket_inodes(pid):
    """Socket inode -> descriptor number, for every socket the process holds."""
    found = {}
    fd_dir = "/proc/%d/fd" % pid
    for name in os.listdir(fd_dir):
        try:
            link = os.readlink(os.path.join(fd_dir, name))
        except OSError:
            continue
        if link.startswith("socket:["):
            found[int(link[8:-1])] = int(name)
    return found


def netlink_socket(pid):
    """(port id, descriptor) of the process's NETLINK_USERSOCK socket."""
    inodes = socket_inodes(pid)
    with open("/proc/net/netlink") as f:
        next(f)
        for line in f:
            cols = line.split()
            if int(cols[1]) == NETLINK_USERSOCK and int(cols[9]) in inodes:
                return int(cols[2]), inodes[int(cols[9])]
    return None, None


def udp_socket(pid):
    """(local port, drop count) of the process's UDP socket."""
    inodes = socket_inodes(pid)
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            cols = line.split()
            if int(cols[9]) in inodes:
                return int(cols[1].split(":")[1], 16), int(cols[12])
    return None, None


def receive_queue(pid, kind):
    """Bytes waiting in the receive queue of the process's netlink or UDP socket."""
    inodes = socket_inodes(pid)
    with open("/proc/net/netlink" if kind == "nl" else "/proc/net/udp") as f:
        next(f)
        for line in f:
            cols = line.split()
            if int(cols[9]) not in inodes:
                continue
            if kind == "nl":
                if int(cols[1]) == NETLINK_USERSOCK:
                    return int(cols[4])  # Rmem
            else:
                return int(cols[4].split(":")[1], 16)  # tx_queue:rx_queue
    return None


def probe_message(mac, seq):
    header = struct.pack("=IHHII", 32, 0, 0, seq, 0)
    payload = mac + bytes([0x0A, 0, 0, 0, 0, 1]) + struct.pack("=bBH", -40, 1, 2412)
    return header + payload


def cmd_nl_send(args):
    s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_USERSOCK)
    s.bind((args.from_port, 0))
    prefix = bytes.fromhex(args.prefix)
    dest = (args.to, 0) if args.group == 0 else (0, 1 << (args.group - 1))
    sent = failed = 0
    for i in range(args.count):
        mac = prefix + (i % args.stations).to_bytes(6 - len(prefix), "big")
        try:
            s.sendto(probe_message(mac, i), dest)
            sent += 1
        except ConnectionRefusedError:
            # To a group, the copy for port id 0 has no taker (no kernel end
            # on this protocol); the group members have had theirs.
            if args.group == 0:
                failed += 1
            else:
                sent += 1
        except BlockingIOError:
            failed += 1
    for i in range(args.short):
        try:
            s.sendto(probe_message(prefix + b"\xff" * (6 - len(prefix)), i)[:31], dest)
        except OSError:
            pass
    print("sent %d probe messages" % sent)
    if failed:
        print("send failures %d" % failed)


def cmd_nl_join(args):
    libc = ctypes.CDLL(None, use_errno=True)
    port, fd = netlink_socket(args.pid)
    if fd is None:
        sys.exit("no netlink socket in process %d" % args.pid)
    pidfd = libc.syscall(SYS_PIDFD_OPEN, args.pid, 0)
    if pidfd < 0:
        sys.exit("pidfd_open: %s" % os.strerror(ctypes.get_errno()))
    dup = libc.syscall(SYS_PIDFD_GETFD, pidfd, fd, 0)
    if dup < 0:
        sys.exit("pidfd_getfd: %s" % os.strerror(ctypes.get_errno()))
    s = socket.socket(fileno=dup)
    s.setsockopt(SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, args.group)
    if args.enobufs:
        s.setsockopt(SOL_NETLINK, NETLINK_NO_ENOBUFS, 0)
    print("port %d joined group %d" % (port, args.group))


def cmd_udp_flood(args):
    host, port = args.to.rsplit(":", 1)
    rng = random.Random(args.seed)
    pool = bytes(rng.getrandbits(8) for _ in range(4096)) * (args.max_len // 4096 + 1)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dest = (host, int(port))
    expect = open(args.expect, "w") if args.expect else None
    deadline = time.monotonic() + args.seconds
    sent = 0
    for i in range(args.count):
        if time.monotonic() > deadline:
            break
        length = rng.randint(0, args.max_len)
        # The first bytes say which datagram it is: f1 then the number.
        head = b"\xf1" + i.to_bytes(4, "big") + bytes([rng.getrandbits(8)])
        data = (head + pool[: max(0, length - 6)])[:length]
        while True:
            try:
                s.sendto(data, dest)
                break
            except (BlockingIOError, ConnectionRefusedError):
                continue
        sent += 1
        if expect:
            shown = (data[:6] + b"\0" * 6)[:6]
            expect.write(":".join("%02x" % b for b in shown) + "\n")
    if expect:
        expect.close()
    print("sent %d datagrams" % sent)


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="cmd", required=True)
    a = sub.add_parser("nl-port")
    a.add_argument("pid", type=int)
    a = sub.add_parser("udp-port")
    a.add_argument("pid", type=int)
    a = sub.add_parser("drained")
    a.add_argument("kind", choices=("nl", "udp"))
    a.add_argument("pid", type=int)
    a = sub.add_parser("nl-send")
    a.add_argument("--to", type=int, default=0)
    a.add_argument("--group", type=int, default=0)
    a.add_argument("--from", dest="from_port", type=int, default=0)
    a.add_argument("--stations", type=int, default=1)
    a.add_argument("--count", type=int, default=1)
    a.add_argument("--short", type=int, default=0)
    a.add_argument("--prefix", default="0250")
    a = sub.add_parser("nl-join")
    a.add_argument("pid", type=int)
    a.add_argument("group", type=int)
    a.add_argument("--enobufs", action="store_true")
    a = sub.add_parser("udp-flood")
    a.add_argument("--to", required=True)
    a.add_argument("--count", type=int, default=100000)
    a.add_argument("--max-len", type=int, default=65507)
    a.add_argument("--seed", type=int, default=1)
    a.add_argument("--expect")
    a.add_argument("--seconds", type=float, default=60)
    args = p.parse_args()
    if args.cmd == "nl-port":
        port, _ = netlink_socket(args.pid)
        if port is None:
            sys.exit(1)
        print(port)
    elif args.cmd == "udp-port":
        port, drops = udp_socket(args.pid)
        if port is None:
            sys.exit(1)
        print(port, drops)
    elif args.cmd == "drained":
        # Status 0 once nothing waits in the socket's receive queue.
        sys.exit(0 if receive_queue(args.pid, args.kind) == 0 else 1)
    elif args.cmd == "nl-send":
        cmd_nl_send(args)
    elif args.cmd == "nl-join":
        cmd_nl_join(args)
    else:
        cmd_udp_flood(args)


if __name__ == "__main__":
    main()
