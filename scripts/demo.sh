#!/usr/bin/env bash
# The demo: installs what is missing, builds travine, starts a local SMTP
# server (Debian's aiosmtpd on 127.0.0.1, STARTTLS and AUTH required), sends
# one mail through email() and one through an SMTP session, prints the
# session's dialogue and what the server received, and stops the server.
# Prints build and install output only when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cat <<'EOF'
travine demo: travine is a C++17 SMTP client library (libtravine.so). This
demo starts a throw-away mail server on this machine and sends it two mails,
one per way of using the library.

EOF

bash scripts/setup-deps.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/travine-demo.XXXXXX")
# shellcheck source=lib.sh
source scripts/lib.sh
cleanup() {
    stop_smtpd
    rm -rf "$work"
}
trap cleanup EXIT

step "building libtravine.so and the demo program in _build/demo"
quiet cmake -S . -B _build/demo -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release
quiet cmake --build _build/demo -j"${JOBS:-$(nproc)}" --target travine-demo

step "making a throw-away CA and a server certificate signed by it"
make_test_pki "$work/pki"

step "starting aiosmtpd on 127.0.0.1 (STARTTLS and AUTH required, user demo)"
start_smtpd --mode starttls --cert "$work/pki/server.pem" --key "$work/pki/server.key" \
    --auth demo:demo-secret
echo "   listening on 127.0.0.1:$port"
echo

_build/demo/demo/travine-demo 127.0.0.1 "$port" "$work/pki/ca.pem" demo demo-secret \
    alice@demo.test bob@demo.test

echo
echo "== 3. What the server received"
for d in "$mail"/1 "$mail"/2; do
    [[ -d $d ]] || fail "the server holds no message ${d##*/}"
    echo "-- message ${d##*/}: MAIL FROM <$(cat "$d/from")>, RCPT TO <$(paste -sd, "$d/rcpts")>," \
        "AUTH $(cat "$d/auth")"
    sed 's/^/   | /' "$d/content"
    if [[ ${d##*/} == 1 ]]; then
        cat <<'EOF'
   No blank line follows Subject: in this message. email() writes the lines
   From, To and Subject and then the body as given, so a reader takes the
   body's first line for one more header line (or a broken one). The body is
   sent exactly as passed; a body that begins with an empty line ("\nHello")
   gives the usual blank line between header and body. The lines end in a
   bare LF, which this server accepts and some others refuse.
EOF
    else
        cat <<'EOF'
   The session sent the text exactly as the program composed it: header,
   blank line, body, CR LF line ends.
EOF
    fi
    echo
done
stop_smtpd
echo "== server stopped; the demo's certificates and mail are deleted"
