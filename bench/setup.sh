#!/usr/bin/env bash
# Installs what bench/run.sh needs from Debian's packages (as root), and
# unpacks Postfix's smtp-sink and smtp-source from the postfix package into
# BUILD/postfix-tools unless they are installed (the MTA itself is never
# installed or started). Quiet; says what it could not do.
#
#   bash bench/setup.sh BUILD
set -euo pipefail
BUILD=${1:?usage: bench/setup.sh BUILD}
mkdir -p "$BUILD"
LOG=$BUILD/setup.log
: >"$LOG"

packages=(cmake g++ libssl-dev openssl python3 strace valgrind libbenchmark-dev
    libcurl4-openssl-dev libpoco-dev libesmtp-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "== installing ${missing[*]}" >&2
        apt-get install -y -q "${missing[@]}" >>"$LOG" 2>&1 ||
            { apt-get update -q >>"$LOG" 2>&1 &&
                apt-get install -y -q "${missing[@]}" >>"$LOG" 2>&1; } ||
            echo "bench/setup.sh: could not install ${missing[*]} (see $LOG)" >&2
    else
        echo "bench/setup.sh: missing Debian packages ${missing[*]} (run as root)" >&2
    fi
fi

if ! command -v smtp-sink >/dev/null || ! command -v smtp-source >/dev/null; then
    PF=$BUILD/postfix-tools
    if [ ! -x "$PF/usr/sbin/smtp-sink" ]; then
        echo "== unpacking smtp-sink and smtp-source from the postfix package" >&2
        tmp=$(mktemp -d)
        (cd "$tmp" && { apt-get download postfix >>"$LOG" 2>&1 ||
            { apt-get update -q >>"$LOG" 2>&1 && apt-get download postfix >>"$LOG" 2>&1; }; } &&
            mkdir -p "$PF" && dpkg-deb -x postfix_*.deb "$PF") ||
            echo "bench/setup.sh: could not unpack the postfix package (see $LOG)" >&2
        rm -rf "$tmp"
    fi
fi
