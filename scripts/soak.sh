#!/usr/bin/env bash
# The full soak: builds travine-soak and runs, against a local aiosmtpd
# (Debian's python3-aiosmtpd; the soak program exits 77, skipped, without it):
#   - 10,000 calls of email() in plain text and one session of 10,000
#     messages, then 1,000 UnixSocket objects running `true`;
#   - 2,000 calls of email() and a session of 2,000 messages with implicit
#     TLS (aiosmtpd only).
# Resident memory, live heap and open descriptors are sampled and bounded
# after warm-up; the report goes to stdout. Exits non-zero on any failure.
#
#   scripts/soak.sh [BUILD_DIR]        default _build/soak
#
# Environment: EMAILS, SESSION, CHILDREN, TLS_EMAILS override the counts;
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-_build/soak}
emails=${EMAILS:-10000}
session=${SESSION:-10000}
children=${CHILDREN:-1000}
tls_emails=${TLS_EMAILS:-2000}
sanitize=OFF
[[ ${SANITIZE:-0} == 1 ]] && sanitize=ON

cmake -S . -B "$build" -DTRAVINE_WERROR=ON -DTRAVINE_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target travine-soak >/dev/null
soak=$build/tests/soak/travine-soak

echo "== plain: $emails email() calls, one session of $session messages, $children children"
"$soak" --emails "$emails" --session "$session" --children "$children"

if /usr/bin/python3 -c 'import aiosmtpd.controller' >/dev/null 2>&1 && ((tls_emails > 0)); then
    echo "== implicit TLS: $tls_emails email() calls, one session of $tls_emails messages"
    "$soak" --server aiosmtpd --mode smtps --emails "$tls_emails" --session "$tls_emails" \
        --children 0
fi
echo "== soak passed"
