#!/usr/bin/env python3
"""Attacks on the fleet's web page (tests/e2e/fleet_page.sh), on loopback only: the page on
127.0.0.1:PORT, the attacker on 127.0.0.1 and an honest client on 127.0.0.2 asking for
/api/summary with the token every quarter second. Each prints what it saw and exits 0 when the
page held; the collector's resident memory (PID's VmRSS) is sampled throughout and its peak
printed as "rss_mib N".

  fleet_page_attacks.py rebind PORT TOKEN PID
      /api/view with a foreign Host header, with and without the token: 421 both
  fleet_page_attacks.py slowloris PORT TOKEN PID
      64 connections, each sending one header line every 3 s (opened again when closed)
      for 14 s: every honest request served, no connection held past the header deadline
  fleet_page_attacks.py flood PORT TOKEN PID
      2,000 connections opened and held for 6 s: every honest request served
  fleet_page_attacks.py feeds PORT TOKEN PID
      16 live feeds that never read: an honest live feed still opens and gets its event
"""
import resource
import socket
import sys
import threading
import time

ATTACKER, HONEST = "127.0.0.1", "127.0.0.2"


def connect(port, source, rcvbuf=0, timeout=3.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def request(port, token, path="/api/summary", host=None, source=HONEST):
    """The status code of one GET (0 when the exchange failed)."""
    host = host or "127.0.0.1:%d" % port
    head = "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n" % (path, host)
    if token:
        head += "Authorization: Bearer %s\r\n" % token
    try:
        with connect(port, source, timeout=2.0) as s:
            s.sendall((head + "\r\n").encode())
            answer = b""
            while b"\r\n" not in answer:
                piece = s.recv(4096)
                if not piece:
                    break
                answer += piece
        return int(answer.split(b" ", 2)[1])
    except (OSError, ValueError, IndexError):
        return 0


class Watch:
    """Samples PID's resident memory and runs honest requests from another address."""

    def __init__(self, port, token, pid):
        self.port, self.token, self.pid = port, token, pid
        self.rss_kib, self.statuses = 0, []
        self.stop = threading.Event()
        self.threads = [threading.Thread(target=self.sample), threading.Thread(target=self.honest)]

    def sample(self):
        while not self.stop.is_set():
            with open("/proc/%d/status" % self.pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        self.rss_kib = max(self.rss_kib, int(line.split()[1]))
            self.stop.wait(0.1)

    def honest(self):
        while not self.stop.is_set():
            self.statuses.append(request(self.port, self.token))
            self.stop.wait(0.25)

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *_):
        self.stop.set()
        for t in self.threads:
            t.join()
        served = self.statuses.count(200)
        print("honest requests: %d of %d served" % (served, len(self.statuses)))
        print("rss_mib %d" % (self.rss_kib // 1024))
        self.ok = served == len(self.statuses) and served > 0


def rebind(port, token):
    foreign = "attacker.example:%d" % port
    seen = [request(port, token, "/api/view", foreign), request(port, "", "/api/view", foreign),
            request(port, token, "/api/view")]
    print("foreign Host with token, without, own Host: %s" % seen)
    return seen == [421, 421, 200]


def slowloris(port, seconds=14.0, count=64, every=3.0):
    """Longest time the server let one slow connection hold on, in seconds."""
    held = [0.0]

    def one():
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                s = connect(port, ATTACKER)
                opened = time.monotonic()
                s.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port).encode())
                while time.monotonic() < end:
                    s.settimeout(every)
                    try:
                        if not s.recv(4096):
                            break
                    except socket.timeout:
                        s.sendall(b"X-Slow: 1\r\n")
                held[0] = max(held[0], time.monotonic() - opened)
                s.close()
            except OSError:
                time.sleep(0.2)

    threads = [threading.Thread(target=one) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("longest slow connection held: %.1f s" % held[0])
    return held[0]


def flood(port, count=2000, hold=6.0):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, count + 256)), hard))
    held = []
    for _ in range(count):
        try:
            held.append(connect(port, ATTACKER, timeout=1.0))
        except OSError:
            pass
    print("connections opened: %d" % len(held))
    time.sleep(hold)
    for s in held:
        s.close()
    return len(held)


def feeds(port, token, count=16):
    quiet = []
    for _ in range(count):
        s = connect(port, ATTACKER, rcvbuf=4096)
        s.sendall(("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                   "Authorization: Bearer %s\r\n\r\n" % (port, token)).encode())
        quiet.append(s)
    time.sleep(1)
    opened = 0
    for s in quiet:
        try:
            opened += s.recv(16).startswith(b"HTTP/1.1 200")
        except OSError:
            pass
    got = b""
    with connect(port, HONEST, timeout=5.0) as s:
        s.sendall(("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                   "Authorization: Bearer %s\r\n\r\n" % (port, token)).encode())
        end = time.monotonic() + 5
        try:
            while b"event: view" not in got and time.monotonic() < end:
                piece = s.recv(4096)
                if not piece:
                    break
                got += piece
        except OSError:
            pass
    for s in quiet:
        s.close()
    status = got.split(b"\r\n", 1)[0].decode(errors="replace")
    print("honest live feed beside %d of %d opened that never read: %s, event %s" %
          (opened, count, status, "seen" if b"event: view" in got else "missing"))
    return " 200 " in status + " " and b"event: view" in got


def main():
    what, port, token, pid = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    with Watch(port, token, pid) as watch:
        if what == "rebind":
            ok = rebind(port, token)
        elif what == "slowloris":
            # The header deadline is 10 s: none holds past it (the sweep looks every 250 ms).
            ok = slowloris(port) < 11.0
        elif what == "flood":
            ok = flood(port) == 2000
        elif what == "feeds":
            ok = feeds(port, token)
        else:
            sys.exit("unknown attack " + what)
    sys.exit(0 if ok and watch.ok else 1)


if __name__ == "__main__":
    main()
