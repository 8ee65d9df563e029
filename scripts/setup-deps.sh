#!/usr/bin/env bash
# Installs, from Debian's packages, what building, testing and the demo need.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
    cmake g++ make pkg-config binutils dpkg-dev
    libssl-dev openssl
    libgtest-dev libgmock-dev libbenchmark-dev
    python3 python3-aiosmtpd
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "setup-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
