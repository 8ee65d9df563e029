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
# Runs until its standard input closes (or it is killed).
#
# --mode plain | starttls (offered and required before mail) | smtps;
# --cert and --key for the TLS modes. --auth USER:PASSWORD offers PLAIN,
# LOGIN, CRAM-MD5, XOAUTH2 and OAUTHBEARER (the password as access token)
# for that one user, also without TLS, and requires it before mail.

import argparse, base64, hashlib, hmac, logging, os, secrets, ssl, sys, warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import MISSING, AuthResult

def write(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.rename(path + ".tmp", path)


class Store:
    # aiosmtpd runs every handler on one event loop: no two run at once.
    def __init__(self, directory, user, password):
        self.directory, self.user, self.password, self.count = directory, user, password, 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        tmp = os.path.join(self.directory, ".tmp%d" % self.count)
        os.mkdir(tmp)
        text = lambda s: s.encode("utf-8", "surrogateescape")
        auth = session.auth_data if session.authenticated else None
        write(os.path.join(tmp, "from"), text(envelope.mail_from))
        write(os.path.join(tmp, "rcpts"), b"".join(text(r) + b"\n" for r in envelope.rcpt_tos))
        write(os.path.join(tmp, "content"), envelope.original_content)
        write(os.path.join(tmp, "auth"), auth[0].encode() + b" " + auth[1] if auth else b"")
        os.rename(tmp, os.path.join(self.directory, str(self.count)))
        return "250 2.0.0 Message accepted for delivery"

    def authenticator(self, server, session, envelope, mechanism, data):
        ok = data.login == self.user and data.password == self.password
        return AuthResult(success=ok, handled=False, auth_data=(mechanism, data.login))

    # aiosmtpd has no CRAM-MD5 of its own ("__" in a name stands for "-").
    async def auth_CRAM__MD5(self, server, args):
        challenge = ("<%s@aiosmtpd.test>" % secrets.token_hex(8)).encode()
        response = await server.challenge_auth(challenge) if len(args) == 1 else MISSING
        if response is MISSING:
            return AuthResult(success=False, handled=False)
        login, _, digest = response.rpartition(b" ")
        expected = hmac.new(self.password, challenge, hashlib.md5).hexdigest().encode()
        ok = login == self.user and hmac.compare_digest(digest, expected)
        return AuthResult(success=ok, handled=False, auth_data=("CRAM-MD5", login))

    # OAuth 2.0 with the initial response (args[0] names the mechanism); a
    # wrong token is refused at once.
    async def auth_XOAUTH2(self, server, args):
        fields = base64.b64decode(args[1]).split(b"\x01") if len(args) == 2 else [b""]
        user = fields[0][4:-1].replace(b"=2C", b",").replace(b"=3D", b"=")
        if args[0] == "XOAUTH2":
            user = fields[0][5:] if fields[0].startswith(b"user=") else b""
        ok = user == self.user and b"auth=Bearer " + self.password in fields
        return AuthResult(success=ok, handled=False, auth_data=(args[0], user))

    auth_OAUTHBEARER = auth_XOAUTH2


class FreePortController(Controller):
    # Binds port 0 and learns the port the system chose.
    def _trigger_server(self):
        self.port = self.server.sockets[0].getsockname()[1]
        super()._trigger_server()


def main():
    parser = argparse.ArgumentParser()
    for option in ["--dir", "--cert", "--key", "--auth"]:
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
    # offered.
    if args.auth:
        kwargs.update(authenticator=store.authenticator, auth_required=True,
                      auth_require_tls=args.mode == "starttls")
    else:
        kwargs["auth_exclude_mechanism"] = ["PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2", "OAUTHBEARER"]

    controller = FreePortController(store, hostname="127.0.0.1", port=0, **kwargs)
    controller.start()
    write(os.path.join(args.dir, "port"), b"%d" % controller.port)
    print(controller.port, flush=True)
    sys.stdin.read()
    controller.stop()


main()
