#!/usr/bin/env bash
# Builds travine and runs every test: a warnings-as-errors build, a second
# build with AddressSanitizer and UndefinedBehaviorSanitizer, the install and
# example checks, the host-supplied OpenSSL variant, and about a minute of
# coverage-guided fuzzing under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup-deps.sh

echo "== release build (warnings are errors)"
cmake -S . -B _build/release -DTRAVINE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build _build/release -j"$jobs"
ctest --test-dir _build/release --output-on-failure -j"$jobs"

echo "== sanitizer build (address, undefined)"
cmake -S . -B _build/asan -DTRAVINE_WERROR=ON -DTRAVINE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build _build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir _build/asan --output-on-failure -j"$jobs" -LE slow

for check in scripts/check-install.sh scripts/check-host-openssl.sh scripts/fuzz.sh; do
    if [[ -f $check ]]; then
        echo "== $check"
        bash "$root/$check"
    fi
done
echo "== all tests passed"
