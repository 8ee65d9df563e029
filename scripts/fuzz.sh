#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz/ with clang-14, libFuzzer and the
# sanitizers (the CMake option TRAVINE_FUZZ; scripts/setup-deps.sh installs
# clang) and runs each for FUZZ_TIME seconds (default 30) from a scratch copy
# of its committed corpus, which never grows by itself. Exits non-zero on a
# finding; the input that found it is left in the build directory's
# artifacts/, to be added to the corpus once fixed.
#
#   scripts/fuzz.sh [TARGET...]      TARGET: base64, session (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD:-$PWD/_build/fuzz}
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAVINE_FUZZ=ON -DTRAVINE_SANITIZE=ON >/dev/null
(($#)) || set -- base64 session
status=0
for t in "$@"; do
    cmake --build "$build" -j"${JOBS:-2}" --target "fuzz_$t" >/dev/null
    rm -rf "$build/corpus/$t" && mkdir -p "$build/corpus" "$build/artifacts"
    cp -r "tests/fuzz/corpus/$t" "$build/corpus/"
    for f in tests/scenarios/*; do  # what the dialogue scenarios' servers send
        [[ $t != session || $f == *.* ]] ||
            printf '%b' "$(sed -n -e 's/^S: \(.*\)$/\1\\r\\n/p' -e 's/^QUIT$/221 bye\\r\\n/p' \
                -e 's/^[EH][HE]LO$/220 mx.example.test ESMTP\\r\\n/p' \
                -e 's/^[EH][HE]LO \(.*\)$/220 mx.example.test ESMTP\\r\\n\1\\r\\n/p' "$f" |
                tr -d '\n')" >"$build/corpus/$t/${f##*/}"
    done
    echo "== fuzz_$t for ${FUZZ_TIME:-30}s"
    "$build/tests/fuzz/fuzz_$t" -max_total_time="${FUZZ_TIME:-30}" -timeout=10 -max_len=8192 \
        -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" 2>"$build/fuzz_$t.log" ||
        { tail -n 40 "$build/fuzz_$t.log" >&2; status=1; }
    grep -E '^Done [0-9]+ runs' "$build/fuzz_$t.log" || true
done
exit "$status"
