#!/usr/bin/env bash
# Builds every fuzz target of tests/fuzz/ with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for a
# bounded time from a scratch copy of its committed corpus (the committed
# corpus never grows by itself). Exits non-zero on any finding; the inputs
# that found something are kept under the build directory's artifacts/.
#
#   scripts/fuzz.sh [TARGET...]      TARGET: base64, string, i18n, reply, session
#
# Environment: FUZZ_TIME seconds per target (default 12), FUZZ_BUILD build
# directory (default _build/fuzz), CXX_FUZZ the compiler (default clang++-14).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
fuzz_time=${FUZZ_TIME:-12}
build=${FUZZ_BUILD:-_build/fuzz}
cxx=${CXX_FUZZ:-clang++-14}
case $build in /*) ;; *) build=$root/$build ;; esac

# The compiler and its fuzzer runtime, from Debian's packages.
if ! command -v "$cxx" >/dev/null ||
    ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    echo "fuzz: installing clang-14 and libclang-rt-14-dev"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends clang-14 libclang-rt-14-dev
fi

if (($# > 0)); then
    targets=("$@")
else
    targets=()
    for src in tests/fuzz/fuzz_*.cpp; do
        name=${src##*/fuzz_}
        targets+=("${name%.cpp}")
    done
fi

mkdir -p "$build/include" "$build/obj" "$build/artifacts"
# The export header that CMake generates for the shared object; here
# everything is linked statically into each target.
cat >"$build/include/travine_export.h" <<'EOF'
#ifndef TRAVINE_EXPORT_H
#define TRAVINE_EXPORT_H
#define TRAVINE_EXPORT __attribute__((visibility("default")))
#define TRAVINE_NO_EXPORT
#define TRAVINE_DEPRECATED __attribute__((__deprecated__))
#define TRAVINE_DEPRECATED_EXPORT TRAVINE_EXPORT TRAVINE_DEPRECATED
#define TRAVINE_DEPRECATED_NO_EXPORT TRAVINE_DEPRECATED
#endif
EOF

sanitize=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
cxxflags=(-std=c++17 -O1 -g -Wall -Wextra "${sanitize[@]}"
    -DOPENSSL_API_COMPAT=30000 -DOPENSSL_NO_DEPRECATED
    -I "$build/include" -iquote "$root/src" -iquote "$root/tests/fuzz")

echo "== fuzz: building the library sources"
objs=()
for src in src/*.cpp; do
    obj=$build/obj/$(basename "${src%.cpp}").o
    objs+=("$obj")
    if [[ ! -f $obj || $src -nt $obj || -n $(find src -name '*.h' -newer "$obj") ]]; then
        "$cxx" "${cxxflags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
    fi
done

status=0
for t in "${targets[@]}"; do
    src=tests/fuzz/fuzz_$t.cpp
    corpus=tests/fuzz/corpus/$t
    if [[ ! -f $src || ! -d $corpus ]]; then
        echo "fuzz: no target $t ($src and $corpus)" >&2
        exit 2
    fi
    bin=$build/fuzz_$t
    echo "== fuzz: building fuzz_$t"
    "$cxx" "${cxxflags[@]}" -fsanitize=fuzzer "$src" "${objs[@]}" -o "$bin" \
        -lssl -lcrypto -pthread

    work=$build/corpus/$t
    rm -rf "$work"
    mkdir -p "$work"
    cp "$corpus"/* "$work"/
    dict=()
    if [[ $t == reply || $t == session ]]; then
        dict=(-dict="$root/tests/fuzz/smtp.dict")
    fi
    echo "== fuzz: fuzz_$t for ${fuzz_time}s"
    if ! ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$bin" "${dict[@]}" -max_total_time="$fuzz_time" -timeout=10 -rss_limit_mb=2048 \
        -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
        "$work" >"$build/fuzz_$t.log" 2>&1; then
        echo "fuzz: fuzz_$t FOUND SOMETHING; log: $build/fuzz_$t.log" >&2
        tail -n 60 "$build/fuzz_$t.log" >&2
        status=1
    else
        grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$build/fuzz_$t.log" |
            sed "s/^/  fuzz_$t /"
    fi
done

if ((status)); then
    echo "fuzz: findings; reproducers in $build/artifacts/" >&2
else
    echo "fuzz: no findings in ${#targets[@]} targets"
fi
exit "$status"
