"""Prints the tables of bench/run.sh from the raw results of one run.

    report.py WORK_DIR N_TRACE N_GRIND BODY_BYTES BIG_BYTES

WORK_DIR holds results.tsv (section, client, wall, user, sys, count per
timed run), strace/<client>.<n>.txt (strace -c -f) and grind/<client>.<n>.txt
(valgrind's summary).
"""
import os
import re
import statistics
import sys

LABELS = {
    "travine": "travine",
    "travine_send": "travine-send, one process per mail",
    "floor": "minimal lock-step C client (floor)",
    "smtp_source": "Postfix smtp-source",
    "curl": "libcurl",
    "poco": "Poco SMTPClientSession",
    "python": "Python smtplib",
}
# The reply lines a message costs in lock-step: MAIL, RCPT, DATA, end of data.
LINES_PER_MESSAGE = 4
READ_CALLS = ("read", "recvfrom", "recvmsg", "poll", "ppoll", "select", "pselect6")


def label(client, section=None):
    if section == "b" and client == "travine":
        return "travine email(), in a loop"
    return LABELS.get(client, client)


def load_results(work):
    runs = {}
    with open(os.path.join(work, "results.tsv")) as f:
        for line in f:
            section, client, wall, user, sys_, count, rnd = line.rstrip("\n").split("\t")[:7]
            runs.setdefault((section, client), []).append(
                (float(wall), float(user) + float(sys_), int(count), rnd))
    medians = {}
    for key, rs in runs.items():
        medians[key] = {
            "wall": statistics.median(r[0] for r in rs),
            "cpu": statistics.median(r[1] for r in rs),
            "count": rs[0][2],
            "runs": len(rs),
            "by_round": {r[3]: r[2] / r[0] for r in rs},
        }
    return medians


def paired(res, section):
    """Median over rounds of travine's rate / the floor's rate in the same
    round, and the number of rounds."""
    t = res.get((section, "travine"))
    f = res.get((section, "floor"))
    if not t or not f:
        return None, 0
    common = sorted(set(t["by_round"]) & set(f["by_round"]))
    if not common:
        return None, 0
    return statistics.median(t["by_round"][r] / f["by_round"][r] for r in common), len(common)


def load_strace(path):
    """Calls per system call name, and the total, from strace -c output."""
    calls = {}
    total = None
    if not os.path.exists(path):
        return None
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 5 or not fields[3].isdigit():
                continue
            if fields[-1] == "total":
                total = int(fields[3])
            else:
                calls[fields[-1]] = int(fields[3])
    if total is None:
        return None
    calls["total"] = total
    return calls


def load_grind(path):
    if not os.path.exists(path):
        return None
    with open(path) as f:
        m = re.search(r"I\s+refs:\s+([\d,]+)", f.read())
    return int(m.group(1).replace(",", "")) if m else None


def per_extra(work, kind, client, n, loader):
    """(value at 2n - value at n) / n, or None."""
    a = loader(os.path.join(work, kind, "%s.%d.txt" % (client, n)))
    b = loader(os.path.join(work, kind, "%s.%d.txt" % (client, 2 * n)))
    if a is None or b is None:
        return None
    if isinstance(a, dict):
        names = set(a) | set(b)
        return {k: (b.get(k, 0) - a.get(k, 0)) / n for k in names}
    return (b - a) / n


def fmt(v, pattern):
    return "-" if v is None else format(v, pattern)


def ratio(a, b):
    return "-" if not a or not b else "%.2fx" % (a / b)


def table(section, title, unit, rows, extra=None):
    """rows: list of (client, rate, cpu_per_unit_us, [extra values])."""
    print()
    print("(%s) %s" % (section, title))
    extra = extra or []
    head = ["client", unit, "CPU us/" + unit.split("/")[0]] + [e for e in extra] + [
        "travine vs this", "this vs floor"]
    rates = {c: r for c, r, _, _ in rows}
    cells = []
    for client, rate, cpu, ex in rows:
        cells.append([label(client, section),
                      fmt(rate, ",.1f" if rate and rate < 1000 else ",.0f"), fmt(cpu, ",.1f")] +
                     list(ex) + [ratio(rates.get("travine"), rate),
                                 ratio(rate, rates.get("floor"))])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *cells)]
    line = "  ".join("%-*s" % (widths[0], head[0]) if i == 0 else "%*s" % (widths[i], h)
                     for i, h in enumerate(head))
    print("  " + line)
    print("  " + "-" * len(line))
    for row in cells:
        print("  " + "  ".join("%-*s" % (widths[0], x) if i == 0 else "%*s" % (widths[i], x)
                               for i, x in enumerate(row)))


def main(argv):
    work, n_trace, n_grind, body, big = argv[1], int(argv[2]), int(argv[3]), int(argv[4]), int(
        argv[5])
    res = load_results(work)

    rtt = res.get(("rtt", "pingpong"))
    if rtt:
        us = rtt["wall"] / rtt["count"] * 1e6
        print("Loopback round trip (one byte there and back, median of %d): %.1f us" %
              (rtt["runs"], us))
        print("  a lock-step message needs %d round trips: at most %.0f msg/s from the wire alone"
              % (LINES_PER_MESSAGE, 1e6 / (LINES_PER_MESSAGE * us)))

    # (a)
    rows = []
    sys_per = {}
    ins_per = {}
    for client in ("travine", "floor", "smtp_source", "curl", "poco", "python"):
        r = res.get(("a", client))
        s = per_extra(work, "strace", client, n_trace, load_strace)
        i = per_extra(work, "grind", client, n_grind, load_grind)
        sys_per[client] = s
        ins_per[client] = i
        if r is None and s is None and i is None:
            continue
        rate = r["count"] / r["wall"] if r else None
        cpu = r["cpu"] / r["count"] * 1e6 if r else None
        rows.append((client, rate, cpu, [fmt(s and s["total"], ".1f"), fmt(i, ",.0f")]))
    table("a", "one session of %d messages of %d body bytes, plain, lock-step (median of runs)" %
          (res.get(("a", "travine"), {}).get("count", 0), body), "msg/s", rows,
          extra=["syscalls/msg", "instr/msg"])
    print("  syscalls/msg: strace -c -f, (calls at %d - calls at %d messages) / %d;" %
          (2 * n_trace, n_trace, n_trace))
    print("  instr/msg: user-space instructions, valgrind cachegrind, the same difference"
          " at %d and %d" % (n_grind, 2 * n_grind))

    print()
    print("System calls per message and per reply line (%d reply lines per message):" %
          LINES_PER_MESSAGE)
    for client in ("travine", "floor"):
        s = sys_per.get(client)
        if not s:
            continue
        parts = ", ".join("%s %.1f" % (k, v) for k, v in sorted(s.items())
                          if k != "total" and abs(v) >= 0.05)
        reads = sum(v for k, v in s.items() if k in READ_CALLS)
        print("  %-36s %6.1f per message (%s): %.1f reading calls per reply line" %
              (label(client), s["total"], parts, reads / LINES_PER_MESSAGE))

    # (b)
    rows = []
    for client in ("travine", "travine_send", "floor", "smtp_source", "curl", "poco", "python"):
        r = res.get(("b", client))
        if r is None:
            continue
        rows.append((client, r["count"] / r["wall"], r["cpu"] / r["count"] * 1e6, []))
    if rows:
        table("b", "%d one-shot sends, a connection per mail (median of runs)" %
              res.get(("b", "travine"), {}).get("count", 0), "mails/s", rows)
        print("  travine-send and smtp-source are timed from outside, process start-up"
              " included; the others time their sending")

    # (c)
    rows = []
    for client in ("travine", "floor", "smtp_source", "curl", "poco", "python"):
        r = res.get(("c", client))
        if r is None:
            continue
        rows.append((client, big / 1e6 / r["wall"], r["cpu"] * 1e6 / (big / 1e6), []))
    if rows:
        table("c", "one message of %d body bytes (median of runs)" % big, "MB/s", rows)

    # (d)
    rows = []
    for client in ("travine", "floor", "curl", "poco", "python"):
        r = res.get(("d", client))
        if r is None:
            continue
        rows.append((client, r["count"] / r["wall"], r["cpu"] / r["count"] * 1e6, []))
    if rows:
        table("d", "one session of %d messages over implicit TLS against bench/tls_sink "
              "(median of runs)" % res.get(("d", "travine"), {}).get("count", 0), "msg/s", rows)
        print("  smtp-source speaks no TLS")

    # Goals
    print()
    print("Goals:")

    def goal(text, ok):
        print("  %-7s %s" % ("met" if ok else "MISSED" if ok is not None else "n/a", text))

    def rate(section, client, per=1.0):
        r = res.get((section, client))
        return r["count"] * per / r["wall"] if r else None

    p, n = paired(res, "a")
    goal("(a) travine at least 0.95x the floor's msg/s: %s (medians), %s (median of the %d"
         " rounds' own ratios)" % (ratio(rate("a", "travine"), rate("a", "floor")),
                                   fmt(p, ".2f") + "x", n), None if p is None else p >= 0.95)
    s = sys_per.get("travine")
    goal("(a) at most 12 system calls per message: %s" % fmt(s and s["total"], ".1f"),
         None if not s else s["total"] <= 12.05)
    p, n = paired(res, "c")
    goal("(c) travine at least 0.9x the floor's MB/s: %s (medians), %s (median of the %d"
         " rounds' own ratios)" % (ratio(rate("c", "travine"), rate("c", "floor")),
                                   fmt(p, ".2f") + "x", n), None if p is None else p >= 0.9)
    ti, si = ins_per.get("travine"), ins_per.get("smtp_source")
    goal("(a) fewer user-space instructions per message than smtp-source: %s vs %s" %
         (fmt(ti, ",.0f"), fmt(si, ",.0f")), None if ti is None or si is None else ti < si)


if __name__ == "__main__":
    main(sys.argv)
