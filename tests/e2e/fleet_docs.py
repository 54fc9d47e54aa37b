#!/usr/bin/env python3
"""Writes scan documents of one access point, one JSON document per line (for
`mosquitto_pub -l`), in the form the daemon publishes them: numbered scans,
stations with their signal and ages, totals, split into parts when one
document would exceed the part size.

Station i has the address 02:00:00:00:HH:LL (i = 0xHHLL) in plain form, or
the same number as 16 hex digits in hashed form; its signal at this access
point is --rssi minus (i mod 7), so access points given different --rssi
values hear shared stations at different signals.
"""
import argparse
import json
import sys
import time


def station(i, rssi, form, now, interval):
    address = ("02:00:00:00:%02x:%02x" % (i >> 8 & 0xFF, i & 0xFF) if form == "plain"
               else "%016x" % (0x5a00000000000000 + i))
    return {"address": address, "rssi": rssi - i % 7, "band": 0, "freq": 2437,
            "second_mac": "ff:ff:ff:ff:ff:ff", "count": 1 + i % 3,
            "first_seen": now - interval, "last_seen": now - 1,
            "first_age": interval, "last_age": 1}


def documents(args):
    for seq in range(args.seq_from, args.seq_from + args.scans):
        now = int(time.time()) + args.clock_offset
        stations = [station(i, args.rssi, args.form, now, args.interval)
                    for i in range(args.first, args.first + args.stations)]
        totals = {"table": len(stations), "reported": len(stations), "dropped": 0,
                  "turned_away": 0, "kernel_lost": 0, "queue_dropped": 0}
        head = {"ap": args.ap, "seq": seq, "time": now, "interval": args.interval}
        # Cut the stations into shares whose documents stay within the part size.
        shares, share, size = [], [], 400
        for s in stations:
            length = len(json.dumps(s, separators=(",", ":"))) + 1
            if share and size + length > args.part_bytes:
                shares.append(share)
                share, size = [], 400
            share.append(s)
            size += length
        shares.append(share)
        for n, share in enumerate(shares, 1):
            doc = dict(head, part=n, parts=len(shares), address_form=args.form,
                       stations=share, totals=totals)
            if args.crowd is not None:
                doc["crowd"] = {"randomised": 2 * args.crowd, "estimate": args.crowd}
            if args.people is not None:
                doc["people"] = args.people
            yield json.dumps(doc, separators=(",", ":"))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--ap", required=True)
    p.add_argument("--seq-from", type=int, default=1)
    p.add_argument("--scans", type=int, default=1)
    p.add_argument("--first", type=int, default=0, help="number of the first station")
    p.add_argument("--stations", type=int, default=5)
    p.add_argument("--rssi", type=int, default=-40)
    p.add_argument("--interval", type=int, default=10)
    p.add_argument("--form", choices=("plain", "hashed"), default="plain")
    p.add_argument("--part-bytes", type=int, default=65536)
    p.add_argument("--crowd", type=int)
    p.add_argument("--people", type=float, help="the crowd estimate in people")
    p.add_argument("--clock-offset", type=int, default=0, metavar="SECONDS",
                   help="the access point's clock this far ahead (negative: behind)")
    p.add_argument("--feed", type=int, metavar="APS",
                   help="APS access points named AP-1.. instead, each scan round in turn, "
                        "each line \"PREFIX/ID/scan DOCUMENT\"; access point k hears "
                        "stations from k * stations / 2 on, so each station is heard by two")
    p.add_argument("--prefix", default="vorlask")
    args = p.parse_args()
    out = sys.stdout
    if args.feed is None:
        for doc in documents(args):
            out.write(doc + "\n")
        return
    base = args.ap
    for seq in range(args.seq_from, args.seq_from + args.scans):
        for k in range(args.feed):
            args.ap = "%s-%d" % (base, k + 1)
            one = argparse.Namespace(**vars(args))
            one.seq_from, one.scans, one.first = seq, 1, k * args.stations // 2
            for doc in documents(one):
                out.write("%s/%s/scan %s\n" % (args.prefix, args.ap, doc))


if __name__ == "__main__":
    main()
