"""Prints the tables of bench/run.sh from the raw results of one run.

    report.py WORK_DIR N_TRACE N_GRIND BODY_BYTES BIG_BYTES DELAY_MS

WORK_DIR holds results.tsv (section, client, wall, user, sys, count, peak
RSS in KiB and round per timed run; "load" lines with the load averages),
strace/<client>.<n>.txt (strace -c -f) and grind/<client>.<n>.txt
(valgrind's summary; <client>.process.txt for one whole process).
"""
import os
import re
import statistics
import sys

LABELS = {
    "travine": "travine",
    "travine_pipe": "travine, PIPELINING on",
    "travine_file": "travine, text from a file",
    "travine_send": "travine-send",
    "floor": "minimal lock-step C client (floor)",
    "floor_file": "floor, text from a file in 64 KiB writes",
    "smtp_source": "Postfix smtp-source",
    "curl": "libcurl",
    "poco": "Poco SMTPClientSession",
    "esmtp": "libESMTP",
    "python": "Python smtplib",
}
SHORT = {"poco": "Poco", "esmtp": "libESMTP", "curl": "libcurl", "python": "smtplib",
         "smtp_source": "smtp-source", "travine_send": "travine-send"}
PEERS = ("smtp_source", "curl", "poco", "esmtp", "python")
# The reply lines a message costs in lock-step: MAIL, RCPT, DATA, end of data.
LINES_PER_MESSAGE = 4
READ_CALLS = ("read", "recvfrom", "recvmsg", "poll", "ppoll", "select", "pselect6")


def label(client, section=None):
    if section == "b" and client == "travine":
        return "travine email(), in a loop"
    if section == "f" and client == "travine":
        return "travine, C++ host, one email() each"
    if section == "f" and client == "travine_c":
        return "travine, C host, one email() each"
    return LABELS.get(client, client)


def load_results(work):
    runs, load = {}, {}
    with open(os.path.join(work, "results.tsv")) as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if fields[0] == "load":
                load[fields[1]] = fields[2:5]
                continue
            section, client, wall, user, sys_, count, rss, rnd = fields[:8]
            runs.setdefault((section, client), []).append(
                (float(wall), float(user) + float(sys_), int(count), int(rss), rnd))
    medians = {}
    for key, rs in runs.items():
        medians[key] = {
            "wall": statistics.median(r[0] for r in rs),
            "cpu": statistics.median(r[1] for r in rs),
            "count": rs[0][2],
            "rss": statistics.median(r[3] for r in rs),
            "runs": len(rs),
            "by_round": {r[4]: r[2] / r[0] for r in rs},
        }
    return medians, load


def paired(res, section, client="travine", other="floor"):
    """Median over rounds of client's rate / other's rate in the same round."""
    t, f = res.get((section, client)), res.get((section, other))
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


def rate_fmt(rate):
    return fmt(rate, ",.1f" if rate and rate < 1000 else ",.0f")


def table(section, title, unit, rows, extra=None, base="travine"):
    """rows: list of (client, rate, cpu_per_unit_us, [extra values])."""
    print()
    print("(%s) %s" % (section, title))
    extra = extra or []
    head = ["client", unit, "CPU us/" + unit.split("/")[0]] + list(extra) + [
        "%s vs this" % label(base).split(",")[0] if base != "travine" else "travine vs this",
        "this vs floor"]
    rates = {c: r for c, r, _, _ in rows}
    floor = rates.get("floor") or rates.get("floor_file")
    cells = []
    for client, rate, cpu, ex in rows:
        cells.append([label(client, section), rate_fmt(rate), fmt(cpu, ",.1f")] + list(ex) +
                     [ratio(rates.get(base), rate), ratio(rate, floor)])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *cells)]
    line = "  ".join("%-*s" % (widths[0], head[0]) if i == 0 else "%*s" % (widths[i], h)
                     for i, h in enumerate(head))
    print("  " + line)
    print("  " + "-" * len(line))
    for row in cells:
        print("  " + "  ".join("%-*s" % (widths[0], x) if i == 0 else "%*s" % (widths[i], x)
                               for i, x in enumerate(row)))


def main(argv):
    work, n_trace, n_grind, body, big, delay = (argv[1], int(argv[2]), int(argv[3]), int(argv[4]),
                                                int(argv[5]), int(argv[6]))
    res, load = load_results(work)

    def rate(section, client, per=1.0):
        r = res.get((section, client))
        return r["count"] * per / r["wall"] if r else None

    def cpu_us(section, client, per=1.0):
        r = res.get((section, client))
        return r["cpu"] / (r["count"] * per) * 1e6 if r else None

    if load:
        print("Machine load (1, 5, 15 minutes): %s before, %s after the timed runs (2 cores)" %
              (", ".join(load.get("before", ["-"])), ", ".join(load.get("after", ["-"]))))
    rtt = res.get(("rtt", "pingpong"))
    if rtt:
        us = rtt["wall"] / rtt["count"] * 1e6
        print("Loopback round trip (one byte there and back, median of %d): %.1f us" %
              (rtt["runs"], us))
        print("  a lock-step message needs %d round trips: at most %.0f msg/s from the wire alone"
              % (LINES_PER_MESSAGE, 1e6 / (LINES_PER_MESSAGE * us)))

    # (a)
    rows, sys_per, ins_per = [], {}, {}
    for client in ("travine", "floor") + PEERS + ("travine_pipe",):
        r = res.get(("a", client))
        s = per_extra(work, "strace", client, n_trace, load_strace)
        i = per_extra(work, "grind", client, n_grind, load_grind)
        sys_per[client], ins_per[client] = s, i
        if r is None:
            continue
        rows.append((client, rate("a", client), cpu_us("a", client),
                     [fmt(s and s["total"], ".1f"), fmt(i, ",.0f")]))
    table("a", "one session of %d messages of %d body bytes, plain, lock-step (median of runs)" %
          (res.get(("a", "travine"), {}).get("count", 0), body), "msg/s", rows,
          extra=["syscalls/msg", "instr/msg"])
    print("  syscalls/msg: strace -c -f, (calls at %d - calls at %d messages) / %d;" %
          (2 * n_trace, n_trace, n_trace))
    print("  instr/msg: user-space instructions, valgrind cachegrind, the same difference"
          " at %d and %d" % (n_grind, 2 * n_grind))

    print()
    print("System calls per extra message:")
    for client in ("travine", "travine_pipe", "floor"):
        s = sys_per.get(client)
        if not s:
            continue
        parts = ", ".join("%s %.1f" % (k, v) for k, v in sorted(s.items())
                          if k != "total" and abs(v) >= 0.05)
        reads = sum(v for k, v in s.items() if k in READ_CALLS)
        where = " (sink offering PIPELINING)" if client == "travine_pipe" else ""
        print("  %-36s %6.1f (%s): %.1f reading calls per reply line%s" %
              (label(client), s["total"], parts, reads / LINES_PER_MESSAGE, where))

    # (p)
    rows = [(c, rate("p", c), cpu_us("p", c), []) for c in
            ("travine_pipe", "travine", "floor", "esmtp", "curl", "poco", "python")
            if res.get(("p", c))]
    if rows:
        table("p", "%d messages through a relay that delays every chunk by %d ms each way, to "
              "smtp-sink offering PIPELINING (median of runs)" %
              (res.get(("p", "travine_pipe"), {}).get("count", 0), delay), "msg/s", rows,
              base="travine_pipe")

    # (b)
    rows = [(c, rate("b", c), cpu_us("b", c), []) for c in ("travine", "floor") + PEERS
            if res.get(("b", c))]
    if rows:
        table("b", "%d one-shot sends in one process, a connection per mail (median of runs)" %
              res.get(("b", "travine"), {}).get("count", 0), "mails/s", rows)
        print("  smtp-source is timed from outside, process start-up included")

    # (f)
    ins_proc = {c: load_grind(os.path.join(work, "grind", "%s.process.txt" % c))
                for c in ("travine", "travine_c", "floor", "esmtp")}
    rows = [(c, rate("f", c), cpu_us("f", c),
             [fmt(ins_proc.get(c) and ins_proc[c] / 1e6, ",.2f")])
            for c in ("travine", "floor", "travine_c", "esmtp", "poco", "curl", "smtp_source", "travine_send",
                      "python") if res.get(("f", c))]
    if rows:
        table("f", "one process per message, %d processes one after the other (median of runs)"
              % res.get(("f", "travine"), {}).get("count", 0), "msg/s", rows,
              extra=["M instr/process"])
        print("  timed from outside (bench/measure -n), process start-up included;"
              " M instr/process: valgrind cachegrind, one whole process")

    # (c)
    rows = []
    for client in ("travine_file", "floor_file", "travine", "floor", "smtp_source", "curl",
                   "poco", "python"):
        r = res.get(("c", client))
        if r is None:
            continue
        rows.append((client, big / 1e6 / r["wall"], r["cpu"] * 1e6 / (big / 1e6),
                     [fmt(r["rss"] / 1024 if r["rss"] else None, ",.1f")]))
    if rows:
        table("c", "one message of %d body bytes (median of runs)" % big, "MB/s", rows,
              extra=["peak RSS MiB"])
        small = {c: res.get(("c_small", c)) for c in ("travine_file", "travine")}
        print("  peak RSS: resident set at its largest while sending (clients that keep the"
              " text in memory hold it already)")
        for c, r in small.items():
            big_r = res.get(("c", c))
            if r and big_r:
                print("  %s: %.1f MiB with %d bytes, %.1f MiB with %d bytes" %
                      (label(c), r["rss"] / 1024, big // 10, big_r["rss"] / 1024, big))

    # (d), (e)
    for section, what in (("d", "implicit TLS"), ("e", "STARTTLS")):
        rows = [(c, rate(section, c), cpu_us(section, c), [])
                for c in ("travine", "floor", "curl", "poco", "python") if res.get((section, c))]
        if rows:
            table(section, "one session of %d messages over %s against bench/tls_sink "
                  "(median of runs)" % (res.get((section, "travine"), {}).get("count", 0), what),
                  "msg/s", rows)

    # Summary
    def best_peer(section, peers, per=1.0):
        got = [(rate(section, c, per), c) for c in peers if rate(section, c)]
        return max(got) if got else (None, None)

    print()
    print("Summary (medians; best peer among the libraries and tools beside travine):")
    print()
    print("| workload | travine | floor | best peer | note |")
    print("|---|---|---|---|---|")

    def row(workload, t, f, peer, note):
        pr, pc = peer
        print("| %s | %s | %s | %s | %s |" % (workload, rate_fmt(t), rate_fmt(f),
                                             "%s %s" % (SHORT.get(pc, pc), rate_fmt(pr))
                                             if pc else "-", note))

    p, n = paired(res, "a")
    s = sys_per.get("travine")
    row("%d messages, one session (msgs/s)" % res.get(("a", "travine"), {}).get("count", 0),
        rate("a", "travine"), rate("a", "floor"), best_peer("a", PEERS),
        "%s the floor (%s within rounds), %s system calls per extra message" %
        (ratio(rate("a", "travine"), rate("a", "floor")), fmt(p, ".2f") + "x",
         fmt(s and s["total"], ".1f")))
    pp, _ = paired(res, "p", "travine_pipe")
    row("%d messages through a %d ms round trip, PIPELINING (msgs/s)" %
        (res.get(("p", "travine_pipe"), {}).get("count", 0), 2 * delay),
        rate("p", "travine_pipe"), rate("p", "floor"), best_peer("p", PEERS),
        "%s the floor (%s within rounds); travine lock-step %s" %
        (ratio(rate("p", "travine_pipe"), rate("p", "floor")), fmt(pp, ".2f") + "x",
         rate_fmt(rate("p", "travine"))))
    mb = big / 1e6
    tf, ff = res.get(("c", "travine_file")), res.get(("c", "floor_file"))
    row("one %d MB message from a file (MB/s)" % (big // 1000000), rate("c", "travine_file", mb),
        rate("c", "floor_file", mb), best_peer("c", PEERS, mb),
        "%s the floor; peak RSS %s MiB (floor %s MiB)" %
        (ratio(rate("c", "travine_file"), rate("c", "floor_file")),
         fmt(tf and tf["rss"] / 1024, ",.1f"), fmt(ff and ff["rss"] / 1024, ",.1f")))
    row("one process per message (msgs/s)", rate("f", "travine"), rate("f", "floor"),
        best_peer("f", PEERS),
        "C host %s msg/s; %s M instructions per process (C host %s, floor %s, libESMTP %s)" %
        ((rate_fmt(rate("f", "travine_c")),) +
         tuple(fmt(ins_proc.get(c) and ins_proc[c] / 1e6, ".2f")
               for c in ("travine", "travine_c", "floor", "esmtp"))))
    ti = ins_per.get("travine")
    peer_ins = [(v, c) for c, v in ins_per.items() if c in PEERS and v]
    pi, pc = min(peer_ins) if peer_ins else (None, None)
    print("| instructions per extra message | %s | %s | %s | user space, valgrind |" %
          (fmt(ti, ",.0f"), fmt(ins_per.get("floor"), ",.0f"),
           "%s %s" % (SHORT.get(pc, pc), fmt(pi, ",.0f")) if pc else "-"))
    for section, what in (("d", "implicit TLS"), ("e", "STARTTLS")):
        row("%d messages over %s (msgs/s)" %
            (res.get((section, "travine"), {}).get("count", 0), what),
            rate(section, "travine"), rate(section, "floor"),
            best_peer(section, ("curl", "poco", "python")),
            "%s the floor" % ratio(rate(section, "travine"), rate(section, "floor")))

    # Goals
    print()
    print("Goals:")

    def goal(text, ok):
        print("  %-7s %s" % ("met" if ok else "MISSED" if ok is not None else "n/a", text))

    def ahead(section, client, peers):
        t = rate(section, client)
        rs = [rate(section, c) for c in peers]
        if t is None or any(r is None for r in rs):
            return None
        return all(t > r for r in rs)

    goal("(a) at most 8 system calls per extra message: %s" % fmt(s and s["total"], ".1f"),
         None if not s else s["total"] <= 8.05)
    goal("(a) at least 0.97x the floor's msg/s: %s (medians), %s (median of the %d rounds'"
         " own ratios)" % (ratio(rate("a", "travine"), rate("a", "floor")), fmt(p, ".2f") + "x",
                           n), None if p is None else p >= 0.97)
    goal("(a) ahead of Poco: %s vs %s" % (rate_fmt(rate("a", "travine")),
                                         rate_fmt(rate("a", "poco"))),
         ahead("a", "travine", ["poco"]))
    goal("(p) at least 2.5x the lock-step floor through the relay: %s (medians), %s within"
         " rounds" % (ratio(rate("p", "travine_pipe"), rate("p", "floor")), fmt(pp, ".2f") + "x"),
         None if pp is None else pp >= 2.5)
    goal("(p) ahead of libESMTP: %s vs %s" % (rate_fmt(rate("p", "travine_pipe")),
                                             rate_fmt(rate("p", "esmtp"))),
         ahead("p", "travine_pipe", ["esmtp"]))
    pc_, nc = paired(res, "c", "travine_file", "floor_file")
    goal("(c) from a file, at least 0.9x the floor's MB/s: %s (medians), %s (median of the %d"
         " rounds' own ratios)" % (ratio(rate("c", "travine_file"), rate("c", "floor_file")),
                                   fmt(pc_, ".2f") + "x", nc),
         None if pc_ is None else pc_ >= 0.9)
    ts, tb = res.get(("c_small", "travine_file")), res.get(("c", "travine_file"))
    goal("(c) resident set does not grow with the size: %s MiB at %d MB, %s MiB at %d MB" %
         (fmt(ts and ts["rss"] / 1024, ".1f"), big // 10000000, fmt(tb and tb["rss"] / 1024, ".1f"),
          big // 1000000), None if not ts or not tb else tb["rss"] <= ts["rss"] + 2048)
    goal("(f) one process per message ahead of libESMTP: %s (C++ host), %s (C host) vs %s" %
         (rate_fmt(rate("f", "travine")), rate_fmt(rate("f", "travine_c")),
          rate_fmt(rate("f", "esmtp"))),
         ahead("f", "travine", ["esmtp"]) and ahead("f", "travine_c", ["esmtp"]))
    for section, what in (("d", "implicit TLS"), ("e", "STARTTLS")):
        goal("(%s) %s ahead of libcurl, Poco and smtplib: %s vs %s, %s, %s" %
             (section, what, rate_fmt(rate(section, "travine")), rate_fmt(rate(section, "curl")),
              rate_fmt(rate(section, "poco")), rate_fmt(rate(section, "python"))),
             ahead(section, "travine", ["curl", "poco", "python"]))


if __name__ == "__main__":
    main(sys.argv)
