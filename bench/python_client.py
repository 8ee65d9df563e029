"""Python's smtplib as a peer in the benchmark (run with /usr/bin/python3).

    python_client.py session|oneshot PORT COUNT BODY_BYTES [tls|starttls]

session: one SMTP connection, COUNT sendmail() calls; oneshot: a connection
per message. "tls" is SMTP_SSL (implicit TLS), "starttls" SMTP with
starttls(), both without certificate verification. Prints the same RESULT
line as bench_util.h.
"""
import resource
import smtplib
import ssl
import sys
import time


def bench_text(body_bytes):
    """The message of bench_util.h's bench_text(), as bytes."""
    head = b"From: <a@bench.test>\r\nTo: <b@bench.test>\r\nSubject: bench\r\n\r\n"
    letters = bytes(ord("a") + i % 26 for i in range(26 * 76))
    body = bytearray()
    for i in range(0, body_bytes, 76):
        if i:
            body += b"\r\n"
        n = min(76, body_bytes - i)
        body += letters[i % 26 : i % 26 + n]
    return head + bytes(body)


def main(argv):
    if len(argv) not in (5, 6) or argv[1] not in ("session", "oneshot"):
        sys.stderr.write(__doc__)
        return 2
    oneshot = argv[1] == "oneshot"
    port = int(argv[2])
    count = int(argv[3])
    text = bench_text(int(argv[4]))
    tls = argv[5] if len(argv) == 6 else ""
    if tls not in ("", "tls", "starttls"):
        sys.stderr.write(__doc__)
        return 2
    ctx = None
    if tls:
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE

    def connect():
        if tls == "tls":
            return smtplib.SMTP_SSL("127.0.0.1", port, "bench.test", context=ctx, timeout=60)
        s = smtplib.SMTP("127.0.0.1", port, "bench.test", timeout=60)
        if tls == "starttls":
            s.starttls(context=ctx)
        return s

    start_usage = resource.getrusage(resource.RUSAGE_SELF)
    start = time.monotonic()
    s = None if oneshot else connect()
    for _ in range(count):
        if oneshot:
            s = connect()
        s.sendmail("a@bench.test", ["b@bench.test"], text)
        if oneshot:
            s.quit()
    if not oneshot:
        s.quit()
    wall = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print("RESULT %.6f %.6f %.6f %d %d" % (
        wall, usage.ru_utime - start_usage.ru_utime, usage.ru_stime - start_usage.ru_stime, count,
        usage.ru_maxrss))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
