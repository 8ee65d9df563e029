#!/bin/sh
# Checks the dynamic symbols that libtravine.so defines against the names in
# tests/exports.txt: every symbol (OpenSSL's included) must belong to a listed
# class or be a listed function, and every listed name must still define a
# symbol. Weak instances of standard-library templates and the sanitizers'
# own symbols are left out.
#
#   tests/check_exports.sh NM LIBRARY EXPORTS_TXT
set -eu
export LC_ALL=C
symbols=$("$1" -DC --defined-only "$2" | sed -E 's/^[0-9a-fA-F]* *[A-Za-z] //' |
    grep -Ev '^(.* )?(std|__gnu_cxx)::[^(]*\(|^_*(asan|odr_asan|ubsan|sanitizer|sancov|lsan)' | sort -u)
names=$(grep -v '^#' "$3")
owner='^((non-)?virtual thunk to |(vtable|VTT|typeinfo|typeinfo name) for )?'
status=0
for name in $names; do
    printf '%s\n' "$symbols" | grep -Eq "$owner$name(::|\$)" ||
        { echo "FAIL: $name defines no symbol in $2" >&2; status=1; }
done
stray=$(printf '%s\n' "$symbols" | grep -Ev "$owner($(echo $names | tr ' ' '|'))(::|\$)" || true)
[ -z "$stray" ] || { printf 'FAIL: %s defines symbols outside %s:\n%s\n' "$2" "$3" "$stray" >&2; status=1; }
exit $status
