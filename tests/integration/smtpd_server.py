#!/usr/bin/python3
# A real SMTP server for the tests and scripts, built on aiosmtpd.
#
# Listens on 127.0.0.1 on a free port; once ready, prints the port on stdout
# and writes it to the file "port" of --dir. Stores every message it accepts
# in --dir, in a sub-directory named by a counter (1, 2, ...) that appears
# complete and holds:
#   from     the envelope sender
#   rcpts    the envelope recipients, one per line
#   content  the message data as received, transparency dots removed
#   auth     "MECHANISM user" of the session's authentication, empty if none
# Runs until its standard input closes or it receives SIGTERM.
#
# --mode plain | starttls (offered and required before mail) | smtps;
# --cert and --key for the TLS modes. --auth USER:PASSWORD offers PLAIN,
# LOGIN and CRAM-MD5 for that one user, also without TLS, and requires it
# before mail; --exclude drops mechanisms from the offer (comma-separated).

import argparse, hashlib, hmac, logging, os, secrets, signal, ssl, sys, threading, warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import MISSING, AuthResult, auth_mechanism


def write(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.rename(path + ".tmp", path)


class Store:
    def __init__(self, directory, user, password):
        self.directory, self.user, self.password = directory, user, password
        self.count, self.lock = 0, threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            tmp, number = os.path.join(self.directory, ".tmp%d" % self.count), str(self.count)
        os.mkdir(tmp)
        text = lambda s: s.encode("utf-8", "surrogateescape")
        auth = session.auth_data if session.authenticated else None
        write(os.path.join(tmp, "from"), text(envelope.mail_from))
        write(os.path.join(tmp, "rcpts"), b"".join(text(r) + b"\n" for r in envelope.rcpt_tos))
        write(os.path.join(tmp, "content"), envelope.original_content)
        write(os.path.join(tmp, "auth"), auth[0].encode() + b" " + auth[1] if auth else b"")
        os.rename(tmp, os.path.join(self.directory, number))
        return "250 2.0.0 Message accepted for delivery"

    def authenticator(self, server, session, envelope, mechanism, data):
        ok = data.login == self.user and data.password == self.password
        return AuthResult(success=ok, handled=False, auth_data=(mechanism, data.login))

    # aiosmtpd has no CRAM-MD5 of its own.
    @auth_mechanism("CRAM-MD5")
    async def auth_CRAM_MD5(self, server, args):
        challenge = ("<%s@aiosmtpd.test>" % secrets.token_hex(8)).encode()
        response = await server.challenge_auth(challenge) if len(args) == 1 else MISSING
        if response is MISSING:
            return AuthResult(success=False, handled=False)
        login, _, digest = response.rpartition(b" ")
        expected = hmac.new(self.password, challenge, hashlib.md5).hexdigest().encode()
        ok = login == self.user and hmac.compare_digest(digest, expected)
        return AuthResult(success=ok, handled=False, auth_data=("CRAM-MD5", login))


class FreePortController(Controller):
    # Binds port 0 and learns the port the system chose.
    def _trigger_server(self):
        self.port = self.server.sockets[0].getsockname()[1]
        super()._trigger_server()


def main():
    parser = argparse.ArgumentParser()
    for option in ["--dir", "--cert", "--key", "--auth", "--exclude"]:
        parser.add_argument(option, default="")
    parser.add_argument("--mode", choices=["plain", "starttls", "smtps"], default="plain")
    args = parser.parse_args()
    # Only the port goes out: no notices about test settings.
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    warnings.simplefilter("ignore")

    user, _, password = args.auth.partition(":")
    store = Store(args.dir, user.encode(), password.encode())
    kwargs = {"server_hostname": "aiosmtpd.test", "ready_timeout": 5.0}
    if args.mode != "plain":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        tls = {"tls_context": context, "require_starttls": True}
        kwargs.update(tls if args.mode == "starttls" else {"ssl_context": context})
    # Over implicit TLS aiosmtpd does not count the connection as encrypted,
    # so only STARTTLS requires TLS before AUTH. Without --auth nothing is
    # offered (and AUTH waits for TLS, as aiosmtpd has it by default).
    excluded = args.exclude.split(",") if args.auth else ["PLAIN", "LOGIN", "CRAM-MD5"]
    kwargs.update(auth_exclude_mechanism=[m for m in excluded if m], auth_required=bool(args.auth),
                  auth_require_tls=args.mode == "starttls" or not args.auth)
    if args.auth:
        kwargs["authenticator"] = store.authenticator

    controller = FreePortController(store, hostname="127.0.0.1", port=0, **kwargs)
    controller.start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    write(os.path.join(args.dir, "port"), b"%d" % controller.port)
    print(controller.port, flush=True)
    while not stop.wait(0.2):
        pass
    controller.stop()


main()
