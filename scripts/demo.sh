#!/usr/bin/env bash
# The demo: builds travine, starts a local SMTP server (aiosmtpd on
# 127.0.0.1, STARTTLS and AUTH required), sends one mail through email() and
# one through an SMTP session, prints the dialogue and what the server
# received, and stops the server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup-deps.sh

echo "== building"
cmake -S . -B _build/demo -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build _build/demo -j"$(nproc)" --target travine-demo >/dev/null

work=$(mktemp -d /tmp/travine-demo-XXXXXX)
# shellcheck source=lib.sh
source scripts/lib.sh
cleanup() {
    stop_smtpd
    rm -rf "$work"
}
trap cleanup EXIT

echo "== making a throw-away CA and server certificate"
make_test_pki "$work/pki"

echo "== starting aiosmtpd on 127.0.0.1 (STARTTLS and AUTH required)"
start_smtpd --mode starttls --cert "$work/pki/server.pem" --key "$work/pki/server.key" \
    --auth demo:demo-secret
echo "server listening on 127.0.0.1:$port"
echo

_build/demo/demo/travine-demo 127.0.0.1 "$port" "$work/pki/ca.pem" demo demo-secret \
    alice@demo.test bob@demo.test

echo
echo "== what the server received"
for m in $(ls "$mail" | sort -n); do
    d="$mail/$m"
    echo "-- message $m: MAIL FROM <$(cat "$d/from")>, RCPT TO <$(paste -sd, "$d/rcpts")>," \
         "AUTH $(cat "$d/auth")"
    cat "$d/content"
    echo
done
echo "== stopping the server"
