#!/usr/bin/python3
"""A real SMTP server for the integration tests, built on aiosmtpd.

Listens on 127.0.0.1 on a free port, prints that port on stdout when it is
ready, and stores every message it accepts in the directory given with
--dir, as a sub-directory named by a counter (1, 2, ...) that holds:

  from     the envelope sender (MAIL FROM)
  rcpts    the envelope recipients, one per line
  content  the message data exactly as received, transparency dots removed
  auth     "MECHANISM user" of the session's authentication, empty if none

Each sub-directory appears complete (it is renamed into place). The server
runs until its standard input is closed or it receives SIGTERM.

Modes (--mode): plain; starttls (STARTTLS offered and required before mail);
smtps (TLS from the first byte). --cert and --key give the server's
certificate and key for the TLS modes. --auth USER:PASSWORD offers AUTH
PLAIN, LOGIN and CRAM-MD5 for that one user, also without TLS, and requires
it before mail; --exclude drops mechanisms from the offer (comma-separated).
"""

import argparse
import hashlib
import hmac
import logging
import os
import secrets
import signal
import ssl
import sys
import threading
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import MISSING, AuthResult, auth_mechanism


class Store:
    """Writes each accepted message into its own numbered directory."""

    def __init__(self, directory, user, password):
        self.directory = directory
        self.user = user
        self.password = password
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            number = self.count
        tmp = os.path.join(self.directory, ".tmp%d" % number)
        os.mkdir(tmp)
        with open(os.path.join(tmp, "from"), "wb") as f:
            f.write(envelope.mail_from.encode("utf-8", "surrogateescape"))
        with open(os.path.join(tmp, "rcpts"), "wb") as f:
            for rcpt in envelope.rcpt_tos:
                f.write(rcpt.encode("utf-8", "surrogateescape") + b"\n")
        with open(os.path.join(tmp, "content"), "wb") as f:
            f.write(envelope.original_content)
        with open(os.path.join(tmp, "auth"), "wb") as f:
            if session.authenticated and session.auth_data is not None:
                mechanism, login = session.auth_data
                f.write(mechanism.encode() + b" " + login)
        os.rename(tmp, os.path.join(self.directory, str(number)))
        return "250 2.0.0 Message accepted for delivery"

    def authenticator(self, server, session, envelope, mechanism, auth_data):
        ok = auth_data.login == self.user and auth_data.password == self.password
        return AuthResult(success=ok, handled=False, auth_data=(mechanism, auth_data.login))

    @auth_mechanism("CRAM-MD5")
    async def auth_CRAM_MD5(self, server, args):
        if len(args) != 1:
            await server.push("501 5.5.2 No initial response with CRAM-MD5")
            return AuthResult(success=False, handled=True)
        challenge = ("<%s@aiosmtpd.test>" % secrets.token_hex(8)).encode()
        response = await server.challenge_auth(challenge)
        if response is MISSING:
            return AuthResult(success=False, handled=True)
        login, _, digest = response.rpartition(b" ")
        expected = hmac.new(self.password, challenge, hashlib.md5).hexdigest().encode()
        ok = login == self.user and hmac.compare_digest(digest, expected)
        return AuthResult(success=ok, handled=False, auth_data=("CRAM-MD5", login))


class FreePortController(Controller):
    """A Controller that binds port 0 and learns the port the system chose."""

    def _trigger_server(self):
        self.port = self.server.sockets[0].getsockname()[1]
        super()._trigger_server()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--mode", choices=["plain", "starttls", "smtps"], default="plain")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--auth")
    parser.add_argument("--exclude", default="")
    args = parser.parse_args()
    # Only the port goes to stdout; keep aiosmtpd's notices about test
    # settings (AUTH without TLS, deprecated fields) off stderr too.
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    warnings.simplefilter("ignore")

    user = password = None
    if args.auth:
        user, _, password = args.auth.partition(":")
        user, password = user.encode(), password.encode()
    store = Store(args.dir, user, password)

    kwargs = {"server_hostname": "aiosmtpd.test", "ready_timeout": 5.0}
    if args.mode != "plain":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if args.mode == "starttls":
            kwargs["tls_context"] = context
            kwargs["require_starttls"] = True
        else:
            kwargs["ssl_context"] = context
    if args.auth:
        kwargs["authenticator"] = store.authenticator
        kwargs["auth_required"] = True
        # Over implicit TLS aiosmtpd would not count the connection as
        # encrypted, so AUTH is required to follow STARTTLS only in that mode.
        kwargs["auth_require_tls"] = args.mode == "starttls"
        kwargs["auth_exclude_mechanism"] = [m for m in args.exclude.split(",") if m]
    else:
        # Without credentials nothing is offered.
        kwargs["auth_exclude_mechanism"] = ["PLAIN", "LOGIN", "CRAM-MD5"]

    controller = FreePortController(store, hostname="127.0.0.1", port=0, **kwargs)
    controller.start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    print(controller.port, flush=True)
    while not stop.wait(0.2):
        pass
    controller.stop()


if __name__ == "__main__":
    main()
