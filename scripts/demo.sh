#!/usr/bin/env bash
# The demo: builds travine, starts a local SMTP server (aiosmtpd on
# 127.0.0.1, STARTTLS and AUTH required), sends one mail through email() and
# one through an SMTP session, prints the dialogue and what the server
# received, and stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup-deps.sh

echo "== building"
cmake -S . -B _build/demo -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build _build/demo -j"$(nproc)" --target travine-demo >/dev/null

work=$(mktemp -d /tmp/travine-demo-XXXXXX)
server_pid=
cleanup() {
    exec 3>&- 2>/dev/null || true
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "== making a throw-away CA and server certificate"
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${ec[@]}" -keyout "$work/ca.key" -out "$work/ca.pem" -days 1 \
    -subj "/O=travine demo/CN=travine demo CA" 2>/dev/null
openssl req "${ec[@]}" -keyout "$work/server.key" -out "$work/server.csr" \
    -subj "/O=travine demo/CN=localhost" 2>/dev/null
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAcreateserial -out "$work/server.pem" -days 1 2>/dev/null

echo "== starting aiosmtpd on 127.0.0.1 (STARTTLS and AUTH required)"
mkdir "$work/mail"
mkfifo "$work/in"
# The server runs until its standard input closes: descriptor 3 holds it open.
/usr/bin/python3 tests/integration/smtpd_server.py --dir "$work/mail" \
    --mode starttls --cert "$work/server.pem" --key "$work/server.key" \
    --auth demo:demo-secret <"$work/in" >"$work/port" &
server_pid=$!
exec 3>"$work/in"
port=
for _ in $(seq 300); do
    port=$(head -n1 "$work/port" 2>/dev/null || true)
    [[ -n $port ]] && break
    kill -0 "$server_pid" 2>/dev/null || { echo "the server did not start" >&2; exit 1; }
    sleep 0.1
done
[[ -n $port ]] || { echo "the server did not report its port" >&2; exit 1; }
echo "server listening on 127.0.0.1:$port"
echo

"$root/_build/demo/demo/travine-demo" 127.0.0.1 "$port" "$work/ca.pem" demo demo-secret \
    alice@demo.test bob@demo.test

echo
echo "== what the server received"
for m in $(ls "$work/mail" | sort -n); do
    d="$work/mail/$m"
    echo "-- message $m: MAIL FROM <$(cat "$d/from")>, RCPT TO <$(paste -sd, "$d/rcpts")>," \
         "AUTH $(cat "$d/auth")"
    cat "$d/content"
    echo
done
echo "== stopping the server"
