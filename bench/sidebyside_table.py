#!/usr/bin/python3
"""Median table of fetchmail's and PelimoMail's passes from one results.jsonl, the ratios to
fetchmail and whether each target is met. The targets depend on the size of the mailbox (100,
1,000 or 10,000 messages); a run of another size is judged on its deliveries only. Exit status 1
when a target or a delivery check fails.

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


# The targets by the number of messages in the mailbox before pass 1:
# (what, how it is judged, pass, figure, limit). "ratio" is PelimoMail's median over fetchmail's, "value"
# PelimoMail's median, "peak" PelimoMail's largest peak memory in MiB, "most" its largest figure of all runs.
TARGETS = {
    100: [
        ("pass 1 wall, ratio", "ratio", 1, "wall_s", 0.5),
        ("pass 1 CPU, ratio", "ratio", 1, "cpu_s", 1.0),
        ("pass 2 POP3 bytes, ratio", "ratio", 2, "pop3_bytes_to_client", 1.1),
        ("pass 2 wall, seconds", "value", 2, "wall_s", 0.2),
        ("pass 3 POP3 bytes, ratio", "ratio", 3, "pop3_bytes_to_client", 1.05),
        ("peak memory (largest of all runs), MiB", "peak", None, "maxrss_kb", 40.0),
        ("pass 4 delivered (largest of all runs)", "most", 4, "delivered", 0),
    ],
    1000: [
        ("pass 1 CPU, ratio", "ratio", 1, "cpu_s", 1.0),
        ("pass 2 CPU, ratio", "ratio", 2, "cpu_s", 2.0),
        ("pass 2 wall, seconds", "value", 2, "wall_s", 0.1),
        ("pass 3 CPU, ratio", "ratio", 3, "cpu_s", 2.0),
        ("pass 4 delivered (largest of all runs)", "most", 4, "delivered", 0),
    ],
    10000: [
        ("pass 2 wall (nothing new, same process), seconds", "value", 2, "wall_s", 0.2),
        ("pass 4 wall (nothing new, new process), seconds", "value", 4, "wall_s", 0.2),
        ("pass 4 delivered (largest of all runs)", "most", 4, "delivered", 0),
    ],
}


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    rows = load(argv[1])
    groups = {}
    for r in rows:
        groups.setdefault((r["tool"], int(r["pass"])), []).append(r)
    sizes = {r.get("messages") for r in rows}
    if len(sizes) != 1:
        print("runs of different mailbox sizes in %s: %s" % (argv[1], sorted(map(str, sizes))), file=sys.stderr)
        return 2
    messages = sizes.pop()
    tools = [t for t in TOOLS if any(tool == t for tool, _ in groups)]
    if "pelimomail" not in tools:
        print("no PelimoMail runs in %s" % argv[1], file=sys.stderr)
        return 2
    for tool in tools:
        for p in (1, 2, 3):
            if (tool, p) not in groups:
                print("no %s runs of pass %d in %s" % (tool, p, argv[1]), file=sys.stderr)
                return 2

    def med(tool, p, key):
        return median(groups.get((tool, p), []), key)

    def mib(kb):
        return kb / 1024.0 if kb is not None else float("nan")

    print("| pass | tool | runs | wall s | CPU s | peak RSS MiB | POP3 bytes to client | RETR / TOP "
          "| delivered (expected) | duplicates / missing |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for p in (1, 2, 3, 4):
        for tool in tools:
            runs = groups.get((tool, p))
            if not runs:
                continue
            print("| %d | %s | %d | %.3f | %.3f | %.1f | %s | %d / %d | %d (%d) | %d / %d |" % (
                p, NAMES[tool], len(runs), med(tool, p, "wall_s"), med(tool, p, "cpu_s"),
                mib(med(tool, p, "maxrss_kb")), format(int(med(tool, p, "pop3_bytes_to_client")), ","),
                med(tool, p, "pop3_retr"), med(tool, p, "pop3_top"), med(tool, p, "delivered"),
                runs[0].get("expected", -1), max(r.get("duplicates", 0) for r in runs),
                max(r.get("missing", 0) for r in runs)))
    if ("pelimomail", 4) in groups:
        print()
        print("PelimoMail's pass 4 start (settings and forwarding record read, before the check): "
              "wall %.3f s, CPU %.3f s (medians)" % (med("pelimomail", 4, "start_wall_s"),
                                                     med("pelimomail", 4, "start_cpu_s")))

    def judge(how, p, key):
        """PelimoMail's figure, fetchmail's, the figure judged; None where there are no runs to judge."""
        ours = [r for r in rows if r["tool"] == "pelimomail" and (p is None or int(r["pass"]) == p)]
        theirs = [r for r in rows if r["tool"] == "fetchmail" and (p is None or int(r["pass"]) == p)]
        if not ours:
            return None, None, None
        if how == "peak":
            peak = max(r[key] for r in ours) / 1024.0
            return peak, (max(r[key] for r in theirs) / 1024.0 if theirs else None), peak
        if how == "most":
            most = max(r[key] for r in ours)
            return most, None, most
        figure = median(ours, key)
        if how == "value":
            return figure, median(theirs, key) if theirs else None, figure
        if not theirs:
            return figure, None, None
        base = median(theirs, key)
        return figure, base, figure / base if base else float("inf")

    def show(value, key):
        if value is None:
            return "–"
        if key == "pop3_bytes_to_client":
            return format(int(value), ",")
        if key == "delivered":
            return "%d" % value
        return "%.1f" % value if key == "maxrss_kb" else "%.3f" % value

    print()
    failed = 0
    if messages not in TARGETS:
        print("No targets for a mailbox of %s messages; only the deliveries are judged." % messages)
    else:
        print("Targets for %s messages:" % format(messages, ","))
        print()
        print("| target | PelimoMail | fetchmail | judged | limit | met |")
        print("|---|---:|---:|---:|---:|---|")
        for what, how, p, key, limit in TARGETS[messages]:
            ours, theirs, judged = judge(how, p, key)
            if judged is None:
                # A ratio without fetchmail's runs (--pelimo-only) is not judged; a pass never run is a miss.
                verdict = "not judged" if ours is not None else "FAIL (no runs)"
            else:
                verdict = "PASS" if judged <= limit else "FAIL"
            failed += 1 if verdict.startswith("FAIL") else 0
            print("| %s | %s | %s | %s | %s | %s |" % (what, show(ours, key), show(theirs, key),
                                                       "–" if judged is None else "%.3f" % judged, limit,
                                                       verdict))
    faults = delivery_faults(rows)
    print()
    if faults:
        print("Delivery faults:")
        for f in faults:
            print("  " + f)
    else:
        print("Every run forwarded exactly the new mail: no duplicates, none missing.")
    return 1 if failed or faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
