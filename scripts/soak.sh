#!/usr/bin/env bash
# A long soak: builds travine-soak and runs ROUNDS (default 10,000) rounds of
# email() calls and children, then a session of as many messages, against a
# local aiosmtpd (Debian's python3-aiosmtpd). SANITIZE=1 builds with the
# sanitizers. Exits non-zero on any failure or growth.
#
#   scripts/soak.sh [ROUNDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${2:-_build/soak}
cmake -S . -B "$build" -DTRAVINE_SANITIZE="$([[ ${SANITIZE:-0} == 1 ]] && echo ON || echo OFF)" >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target travine-soak >/dev/null
"$build/tests/soak/travine-soak" "${1:-10000}"
