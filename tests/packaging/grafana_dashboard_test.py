#!/usr/bin/env python3
"""Checks the Grafana dashboard and provisioning files vorlask-fleet ships
(Grafana itself is not in Debian): the dashboard is JSON of the form Grafana
provisions (uid, title, panels with ids, positions and Prometheus targets
asking the dashboard's data source variable), every metric a query names is a
family of the golden /metrics text, and the provisioning files point where
the package installs the dashboard.

Usage: grafana_dashboard_test.py GRAFANA_DIR GOLDEN_METRICS_TEXT
Prints one FAIL line per failed check; exits 1 when any failed.
"""
import json
import os
import re
import sys

import yaml

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what)


def families(golden):
    names = set()
    with open(golden, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"# TYPE (\S+) (counter|gauge)$", line.rstrip("\n"))
            if m:
                names.add(m.group(1))
    return names


def metric_names(expr):
    # Names of the vorlask_ prefix; PromQL functions and labels never carry it.
    return set(re.findall(r"\bvorlask_[a-zA-Z0-9_]*", expr))


def main():
    grafana, golden = sys.argv[1], sys.argv[2]
    known = families(golden)
    check(len(known) > 10, "the golden metrics text names %d families" % len(known))
    with open(os.path.join(grafana, "dashboards", "vorlask-fleet.json"), encoding="utf-8") as f:
        dashboard = json.load(f)
    check(dashboard.get("uid") == "vorlask-fleet", "dashboard uid: %r" % dashboard.get("uid"))
    check(bool(dashboard.get("title")), "dashboard has no title")
    variables = {v.get("name"): v for v in dashboard.get("templating", {}).get("list", [])}
    source = variables.get("datasource", {})
    check(source.get("type") == "datasource" and source.get("query") == "prometheus",
          "no Prometheus data source variable: %r" % source)
    queries = []
    for v in variables.values():
        if v.get("type") == "query":
            q = v.get("query")
            queries.append(("variable " + v["name"], q.get("query") if isinstance(q, dict) else q))
    panels = dashboard.get("panels", [])
    check(len(panels) >= 6, "%d panels" % len(panels))
    ids = [p.get("id") for p in panels]
    check(len(set(ids)) == len(ids) and None not in ids, "panel ids not unique: %r" % ids)
    for p in panels:
        title = p.get("title", "?")
        pos = p.get("gridPos", {})
        check(all(isinstance(pos.get(k), int) for k in "xywh") and pos["x"] + pos["w"] <= 24,
              "%s: gridPos %r" % (title, pos))
        targets = p.get("targets", [])
        check(bool(targets), "%s: no targets" % title)
        refs = [t.get("refId") for t in targets]
        check(len(set(refs)) == len(refs), "%s: refIds %r" % (title, refs))
        for t in targets:
            check(t.get("datasource") == {"type": "prometheus", "uid": "${datasource}"},
                  "%s: target data source %r" % (title, t.get("datasource")))
            queries.append((title, t.get("expr")))
    for where, expr in queries:
        check(isinstance(expr, str) and expr.count("(") == expr.count(")"),
              "%s: query %r" % (where, expr))
        names = metric_names(expr or "")
        check(bool(names), "%s: query %r names no vorlask_ metric" % (where, expr))
        for name in sorted(names - known):
            check(False, "%s: %s is not in the metrics text" % (where, name))

    with open(os.path.join(grafana, "provisioning", "dashboards", "vorlask-fleet.yaml"),
              encoding="utf-8") as f:
        provider = yaml.safe_load(f)
    check(provider.get("apiVersion") == 1, "dashboards provider apiVersion")
    paths = [p.get("options", {}).get("path") for p in provider.get("providers", [])
             if p.get("type") == "file"]
    check(paths == ["/usr/share/vorlask-fleet/grafana/dashboards"],
          "dashboards provider paths: %r" % paths)
    with open(os.path.join(grafana, "provisioning", "datasources", "prometheus.yaml"),
              encoding="utf-8") as f:
        sources = yaml.safe_load(f)
    kinds = [(d.get("type"), d.get("access")) for d in sources.get("datasources", [])]
    check(kinds == [("prometheus", "proxy")], "data sources: %r" % kinds)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
