#!/usr/bin/env bash
# The test command. Installs what is missing (setup-deps.sh), then runs:
#   1. the format check (check-format.sh); its result counts at the end;
#   2. a release build with warnings as errors, the benchmarks included, and
#      every ctest test (unit, integration, slow, soak);
#   3. a build with AddressSanitizer and UndefinedBehaviorSanitizer and every
#      ctest test but the slow ones;
#   4. check-install.sh: install, the .deb, the examples against the install;
#   5. check-host-openssl.sh: the variant that leaves OpenSSL to its host;
#   6. fuzz.sh: coverage-guided fuzzing under the sanitizers.
# Exits non-zero when any of them fails. JOBS sets the build's parallelism
# (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
export JOBS=$jobs
started=$SECONDS
section_start=$SECONDS

section() {
    if ((SECONDS > started)); then
        echo "   ($((SECONDS - section_start)) s)"
    fi
    section_start=$SECONDS
    echo "== $*"
}

section "dependencies (scripts/setup-deps.sh)"
bash scripts/setup-deps.sh

section "format (scripts/check-format.sh)"
format_ok=1
bash scripts/check-format.sh || format_ok=0

section "release build (warnings are errors)"
cmake -S . -B _build/release -DTRAVINE_WERROR=ON -DTRAVINE_BUILD_BENCH=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build _build/release -j"$jobs"
ctest --test-dir _build/release --output-on-failure -j"$jobs"

section "sanitizer build (address, undefined)"
cmake -S . -B _build/asan -DTRAVINE_WERROR=ON -DTRAVINE_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build _build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir _build/asan --output-on-failure -j"$jobs" -LE slow

for check in check-install check-host-openssl fuzz; do
    section "scripts/$check.sh"
    bash "$root/scripts/$check.sh"
done

section "done in $((SECONDS - started)) s"
if ((!format_ok)); then
    echo "== FAIL: the format check (listed above); every other test passed" >&2
    exit 1
fi
echo "== all tests passed"
