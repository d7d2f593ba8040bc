#!/usr/bin/python3
"""Median table of fetchmail's and PelimoMail's passes from one results.jsonl, the ratios to
fetchmail and whether each target is met. Exit status 1 when a target or a delivery check fails.

    sidebyside_table.py RESULTS.jsonl
"""

import json
import statistics
import sys

TOOLS = ("fetchmail", "pelimomail")
NAMES = {"fetchmail": "fetchmail", "pelimomail": "PelimoMail"}


def load(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def median(runs, key):
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def delivery_faults(runs):
    """Runs that forwarded the wrong number of mails, some twice, or left some out."""
    faults = []
    for r in runs:
        if (r.get("delivered") != r.get("expected") or r.get("duplicates", 0) != 0
                or r.get("missing", 0) != 0):
            faults.append("%s rep %s pass %s: delivered %s (expected %s), duplicates %s, missing %s" % (
                r["tool"], r.get("rep"), r["pass"], r.get("delivered"), r.get("expected"),
                r.get("duplicates"), r.get("missing")))
    return faults


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    rows = load(argv[1])
    groups = {}
    for r in rows:
        groups.setdefault((r["tool"], int(r["pass"])), []).append(r)
    for tool in TOOLS:
        for p in (1, 2, 3):
            if (tool, p) not in groups:
                print("no %s runs of pass %d in %s" % (tool, p, argv[1]), file=sys.stderr)
                return 2

    def med(tool, p, key):
        return median(groups[(tool, p)], key)

    print("| pass | tool | runs | wall s | CPU s | peak RSS MiB | POP3 bytes to client | RETR / TOP "
          "| delivered (expected) | duplicates / missing |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for p in (1, 2, 3):
        for tool in TOOLS:
            runs = groups[(tool, p)]
            print("| %d | %s | %d | %.3f | %.3f | %.1f | %s | %d / %d | %d (%d) | %d / %d |" % (
                p, NAMES[tool], len(runs), med(tool, p, "wall_s"), med(tool, p, "cpu_s"),
                med(tool, p, "maxrss_kb") / 1024.0, format(int(med(tool, p, "pop3_bytes_to_client")), ","),
                med(tool, p, "pop3_retr"), med(tool, p, "pop3_top"), med(tool, p, "delivered"),
                runs[0].get("expected", -1), max(r.get("duplicates", 0) for r in runs),
                max(r.get("missing", 0) for r in runs)))

    def ratio(p, key):
        base = med("fetchmail", p, key)
        return med("pelimomail", p, key) / base if base else float("inf")

    peak = max(r["maxrss_kb"] for r in rows if r["tool"] == "pelimomail") / 1024.0
    # (what, PelimoMail's figure, fetchmail's, the figure judged, its limit, how it is shown)
    targets = [
        ("pass 1 wall, ratio", med("pelimomail", 1, "wall_s"), med("fetchmail", 1, "wall_s"),
         ratio(1, "wall_s"), 0.5, "%.3f"),
        ("pass 1 CPU, ratio", med("pelimomail", 1, "cpu_s"), med("fetchmail", 1, "cpu_s"),
         ratio(1, "cpu_s"), 1.0, "%.3f"),
        ("pass 2 POP3 bytes, ratio", med("pelimomail", 2, "pop3_bytes_to_client"),
         med("fetchmail", 2, "pop3_bytes_to_client"), ratio(2, "pop3_bytes_to_client"), 1.1, "%.0f"),
        ("pass 2 wall, seconds", med("pelimomail", 2, "wall_s"), med("fetchmail", 2, "wall_s"),
         med("pelimomail", 2, "wall_s"), 0.2, "%.3f"),
        ("pass 3 POP3 bytes, ratio", med("pelimomail", 3, "pop3_bytes_to_client"),
         med("fetchmail", 3, "pop3_bytes_to_client"), ratio(3, "pop3_bytes_to_client"), 1.05, "%.0f"),
        ("peak memory (largest of all runs), MiB", peak,
         max(r["maxrss_kb"] for r in rows if r["tool"] == "fetchmail") / 1024.0, peak, 40.0, "%.1f"),
    ]
    print()
    print("| target | PelimoMail | fetchmail | judged | limit | met |")
    print("|---|---:|---:|---:|---:|---|")
    failed = 0
    for what, ours, theirs, judged, limit, fmt in targets:
        ok = judged <= limit
        failed += 0 if ok else 1
        print("| %s | %s | %s | %.3f | %s | %s |" % (what, fmt % ours, fmt % theirs, judged, limit,
                                                  "PASS" if ok else "FAIL"))
    faults = delivery_faults(rows)
    print()
    if faults:
        print("Delivery faults:")
        for f in faults:
            print("  " + f)
    else:
        print("Every run of both tools forwarded exactly the new mail: no duplicates, none missing.")
    return 1 if failed or faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
