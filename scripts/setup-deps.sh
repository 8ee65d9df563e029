#!/usr/bin/env bash
# Installs, from Debian's packages, everything that scripts/test.sh and
# scripts/demo.sh need on a fresh Debian 12 (as root). Does nothing when
# everything is there. Quiet: one line per step; apt's output is shown only
# when a step fails.
set -euo pipefail

packages=(
    # building, and the .deb (cpack needs dpkg-shlibdeps and file)
    cmake g++ make pkg-config binutils dpkg-dev file
    # the library's dependency, and the test certificates
    libssl-dev openssl
    # the unit tests and the micro-benchmarks
    libgtest-dev libgmock-dev libbenchmark-dev
    # the test mail server: Debian's /usr/bin/python3 with aiosmtpd
    python3 python3-aiosmtpd
    # fuzzing (libFuzzer) and the format check
    clang-14 libclang-rt-14-dev clang-format-14
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if ((${#missing[@]} == 0)); then
    echo "setup-deps: all ${#packages[@]} packages are installed"
    exit 0
fi
if ((EUID != 0)); then
    echo "setup-deps: missing ${missing[*]}; run this script as root to install them" >&2
    exit 1
fi

log=$(mktemp "${TMPDIR:-/tmp}/travine-setup-deps.XXXXXX")
trap 'rm -f "$log"' EXIT
# Runs an apt command with its output in the log; prints the log on failure.
apt_step() {
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        echo "setup-deps: FAIL: $*" >&2
        exit 1
    fi
}

export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -y -o DPkg::Lock::Timeout=300 -o Dpkg::Use-Pty=0)
start=$SECONDS
echo "setup-deps: updating the package lists"
apt_step "${apt[@]}" update
echo "setup-deps: installing ${#missing[@]} packages: ${missing[*]}"
apt_step "${apt[@]}" install --no-install-recommends "${missing[@]}"
echo "setup-deps: done in $((SECONDS - start)) s"
