#!/usr/bin/env bash
# Builds the variant of travine that leaves OpenSSL to the host process
# (TRAVINE_HOST_OPENSSL=ON) in a temporary directory and checks it:
#   - libtravine.so names no libssl/libcrypto in DT_NEEDED, but does use them;
#   - it defines no OpenSSL symbol and exports the same list as the default;
#   - a C host without OpenSSL cannot load it (the unresolved symbols show);
#   - a C host linked with -lssl -lcrypto loads it with dlopen and sends mail
#     through email() to a local aiosmtpd server: plain, STARTTLS with the
#     server verified against a test CA, and implicit TLS;
#   - travine-send of the variant (which links OpenSSL itself) sends too.
# Exits non-zero on the first failure.
set -euo pipefail
# Pipelines end in grep >/dev/null, not grep -q: under pipefail a grep that
# stops reading early would fail the pipeline through SIGPIPE.

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
work=$(mktemp -d "${TMPDIR:-/tmp}/travine-host-openssl.XXXXXX")
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"
cleanup() {
    stop_smtpd
    rm -rf "$work"
}
trap cleanup EXIT

step "configure and build with TRAVINE_HOST_OPENSSL=ON"
quiet cmake -S "$root" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DTRAVINE_WERROR=ON -DTRAVINE_HOST_OPENSSL=ON
quiet cmake --build "$work/build" -j"$jobs" --target travine travine-send
lib=$(readlink -f "$work/build/libtravine.so.1")
[[ -f $lib ]] || fail "no libtravine.so.1 in the build"

step "dynamic section and symbols"
needed=$(readelf -d "$lib" | grep NEEDED || true)
if grep -Eq 'libssl|libcrypto' <<<"$needed"; then
    echo "$needed" >&2
    fail "libtravine.so names OpenSSL in DT_NEEDED"
fi
nm -D --undefined-only "$lib" | grep ' SSL_connect$' >/dev/null ||
    fail "libtravine.so does not use SSL_connect from its host"
sh "$root/tests/check_exports.sh" nm "$lib" "$root/tests/exports.txt" >/dev/null ||
    fail "exports of the variant differ from tests/exports.txt (run the script for the diff)"

step "C hosts with and without OpenSSL"
cc -O2 -Wall -Wextra -Werror -o "$work/host_ssl" "$root/examples/email_dlopen.c" \
    -Wl,--no-as-needed -lssl -lcrypto -ldl
cc -O2 -Wall -Wextra -Werror -o "$work/host_bare" "$root/examples/email_dlopen.c" -ldl
readelf -d "$work/host_ssl" | grep 'NEEDED.*libssl\.so' >/dev/null || fail "host_ssl does not load libssl"
if "$work/host_bare" --lib "$lib" 127.0.0.1 9 >"$work/bare.log" 2>&1; then
    fail "a host without OpenSSL loaded the variant"
fi
grep -q 'undefined symbol' "$work/bare.log" || { cat "$work/bare.log" >&2; fail "host_bare: unexpected failure"; }

step "test certificates"
pki=$work/pki
make_test_pki "$pki"

# Starts the test server in MODE (plain, starttls, smtps); sets port and mail.
start_server() {
    local tls=()
    [[ $1 == plain ]] || tls=(--cert "$pki/server.pem" --key "$pki/server.key")
    start_smtpd --mode "$1" "${tls[@]}"
}

send() {
    local what=$1 n=$2
    shift 2
    if ! timeout 60 "$@" >"$work/send.log" 2>&1; then
        cat "$work/send.log" >&2
        fail "$what"
    fi
    [[ -d $mail/$n ]] || { cat "$work/send.log" >&2; fail "$what: the server has no message $n"; }
    echo "   $what: ok"
}

step "email() through the variant"
start_server plain
send "plain" 1 "$work/host_ssl" --lib "$lib" 127.0.0.1 "$port" plain
grep -q 'Subject: from a C host' "$mail/1/content" || fail "plain: message text"
start_server starttls
send "STARTTLS, verified" 1 "$work/host_ssl" --lib "$lib" 127.0.0.1 "$port" starttls "$pki/ca.pem"
if timeout 60 "$work/host_ssl" --lib "$lib" 127.0.0.1 "$port" starttls "$pki/other.pem" \
    >/dev/null 2>&1; then
    fail "STARTTLS verified against an unrelated CA succeeded"
fi
[[ ! -e $mail/2 ]] || fail "a message arrived over an unverified connection"
send "travine-send, STARTTLS" 2 "$work/build/tools/travine-send" --server 127.0.0.1 \
    --port "$port" --tls starttls --cafile "$pki/ca.pem" --from a@example.test \
    --to b@example.test --body "variant"
start_server smtps
send "implicit TLS" 1 "$work/host_ssl" --lib "$lib" 127.0.0.1 "$port" smtps "$pki/ca.pem"
stop_smtpd
echo "check-host-openssl: ok"
