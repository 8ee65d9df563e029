#!/bin/sh
# Compares the dynamic symbols that libtravine.so defines with the list in
# tests/exports.txt, and makes sure no OpenSSL symbol is defined there.
#
#   tests/check_exports.sh [--write] NM LIBRARY EXPORTS_TXT
#
# Each symbol is written as its type letter and demangled name, without the
# address, sorted (LC_ALL=C). Left out: weak out-of-line instances of
# standard-library templates (which ones the compiler emits depends on the
# optimiser) and the sanitizers' own symbols. --write stores the current
# list in EXPORTS_TXT instead of comparing.
set -eu
write=no
if [ "${1:-}" = "--write" ]; then write=yes; shift; fi
if [ $# -ne 3 ]; then
    echo "usage: $0 [--write] NM LIBRARY EXPORTS_TXT" >&2
    exit 2
fi
nm=$1 lib=$2 expected=$3
export LC_ALL=C

mangled=$("$nm" -D --defined-only "$lib")
demangled=$("$nm" -DC --defined-only "$lib")

status=0
openssl=$(printf '%s\n' "$mangled" |
    awk '$3 ~ /^(SSL_|SSLv|TLS_|DTLS_|EVP_|ERR_|X509|HMAC|BIO_|CRYPTO_|OPENSSL_|OpenSSL_|PEM_|RAND_)/' || true)
if [ -n "$openssl" ]; then
    echo "FAIL: $lib defines OpenSSL symbols:" >&2
    printf '%s\n' "$openssl" >&2
    status=1
fi

actual=$(printf '%s\n' "$demangled" |
    sed -E 's/^[0-9a-fA-F]* *([A-Za-z]) /\1 /' |
    grep -Ev '^W (.* )?(std|__gnu_cxx)::[^(]*\(' |
    grep -Ev '^[A-Za-z] _*(__asan|__odr_asan|__ubsan|__sanitizer|__sancov|__lsan)' |
    sort -u)

internal=$(printf '%s\n' "$actual" | grep -F '(anonymous namespace)' || true)
if [ -n "$internal" ]; then
    echo "FAIL: $lib exports file-local helpers:" >&2
    printf '%s\n' "$internal" >&2
    status=1
fi

if [ "$write" = yes ]; then
    printf '%s\n' "$actual" > "$expected"
    echo "wrote $(printf '%s\n' "$actual" | wc -l) symbols to $expected"
    exit $status
fi

if ! printf '%s\n' "$actual" | diff -u "$expected" - >&2; then
    echo "FAIL: the symbols exported by $lib differ from $expected" \
         "(- expected, + actual). If the change is intended, review it and run" \
         "$0 --write $nm $lib $expected" >&2
    status=1
fi
[ $status -eq 0 ] && echo "exports match $expected ($(printf '%s\n' "$actual" | wc -l) symbols)"
exit $status
