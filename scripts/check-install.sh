#!/usr/bin/env bash
# Installs travine into a temporary prefix and uses it the way a host would:
# checks the installed tree, builds the examples against it through the CMake
# package and through pkg-config, starts the aiosmtpd test server with
# STARTTLS and AUTH on 127.0.0.1, runs both examples and the installed
# travine-send against it, and checks what the server received. Then removes
# the install with scripts/uninstall.sh and checks the Debian package.
# Exits non-zero on the first failure.
set -euo pipefail
# Pipelines end in grep >/dev/null, not grep -q: under pipefail a grep that
# stops reading early would fail the pipeline through SIGPIPE.

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
work=$(mktemp -d "${TMPDIR:-/tmp}/travine-install.XXXXXX")
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"
cleanup() {
    stop_smtpd
    rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
step "configure, build and install into $prefix"
quiet cmake -S "$root" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=OFF -DTRAVINE_WERROR=ON -DCMAKE_INSTALL_PREFIX="$prefix"
quiet cmake --build "$work/build" -j"$jobs"
quiet cmake --install "$work/build"

step "the installed tree"
pc=$(find "$prefix" -name travine.pc -print -quit)
[[ -n $pc ]] || fail "no travine.pc installed"
libdir=$(dirname "$(dirname "$pc")")
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[[ $libdir == "$prefix/lib/$multiarch" ]] || fail "libraries in $libdir, not lib/$multiarch"
for f in "$libdir/libtravine.so" "$libdir/libtravine.so.1" "$libdir/libtravine.so.1.0.0" \
         "$libdir/cmake/travine/travineConfig.cmake" \
         "$libdir/cmake/travine/travineConfigVersion.cmake" \
         "$libdir/cmake/travine/travineTargets.cmake" \
         "$prefix/bin/travine-send" "$prefix/share/man/man1/travine-send.1" \
         "$prefix/include/travine/travine_export.h" "$prefix/share/doc/travine/copyright"; do
    [[ -e $f ]] || fail "missing $f"
done
# Every public header (the list in CMakeLists.txt) is installed, and no
# internal one.
public=$(sed -n '/^set(TRAVINE_PUBLIC_HEADERS/,/)/p' "$root/CMakeLists.txt" | grep -o 'src/[a-z0-9_]*\.h')
[[ -n $public ]] || fail "no public headers listed in CMakeLists.txt"
for h in "$root"/src/*.h; do
    name=$(basename "$h")
    if grep -qx "src/$name" <<<"$public"; then
        [[ -f $prefix/include/travine/$name ]] || fail "header $name not installed"
    else
        [[ ! -e $prefix/include/travine/$name ]] || fail "internal header $name installed"
    fi
done
[[ -z $(find "$prefix/include" -maxdepth 1 -name '*.h') ]] || fail "headers directly in include/"
readelf -d "$libdir/libtravine.so.1.0.0" | grep 'SONAME.*\[libtravine\.so\.1\]' >/dev/null ||
    fail "SONAME is not libtravine.so.1"
export PKG_CONFIG_PATH=$libdir/pkgconfig
cflags=$(pkg-config --cflags travine)
[[ $cflags =~ /include/?[[:space:]]*$ ]] || fail "pkg-config --cflags: '$cflags'"
[[ $cflags != *include/travine* ]] || fail "include/travine is on the path: '$cflags'"
[[ $(pkg-config --modversion travine) == 1.0.0 ]] || fail "pkg-config version"
# The C library's <string.h> and <travine/string.h> side by side.
cat >"$work/both.cpp" <<'EOF'
#include <string.h>
#include <travine/string.h>
#include <travine/smtp.h>
int main() { return static_cast<int>(strlen("")) + (String::itoa(0) == "0" ? 0 : 1); }
EOF
quiet g++ -std=c++17 -Wall -Werror $cflags -o "$work/both" "$work/both.cpp" \
    $(pkg-config --libs travine) -Wl,-rpath,"$libdir"
quiet "$work/both"
quiet "$prefix/bin/travine-send" --version

step "examples through find_package(travine)"
quiet cmake -S "$root/examples" -B "$work/ex-cmake" -DCMAKE_PREFIX_PATH="$prefix"
quiet cmake --build "$work/ex-cmake" -j"$jobs"

step "examples through pkg-config"
mkdir -p "$work/ex-pc"
cp "$root"/examples/*.c "$root"/examples/*.cpp "$root/examples/Makefile" "$work/ex-pc/"
quiet make -C "$work/ex-pc"

step "test certificates"
pki=$work/pki
make_test_pki "$pki"

step "aiosmtpd with STARTTLS and AUTH on 127.0.0.1"
start_smtpd --mode starttls --cert "$pki/server.pem" --key "$pki/server.key" \
    --auth tim:tanstaaftanstaaf

# Runs a sender with a deadline and checks that the server then holds the
# expected number of messages.
expect_count=0
send() {
    local what=$1 count=$2
    shift 2
    if ! timeout 60 "$@" >"$work/send.log" 2>&1; then
        cat "$work/send.log" >&2
        fail "$what"
    fi
    expect_count=$((expect_count + count))
    [[ -d $mail/$expect_count ]] || { cat "$work/send.log" >&2; fail "$what: the server has no message $expect_count"; }
    echo "   $what: ok"
}
rcpts() { cat "$mail/$1/rcpts"; }

for variant in ex-cmake ex-pc; do
    send "$variant/send_two" 2 "$work/$variant/send_two" 127.0.0.1 "$port" "$pki/ca.pem" \
        tim tanstaaftanstaaf
    [[ $(rcpts $((expect_count - 1))) == "first@example.test" ]] || fail "send_two: first recipients"
    [[ $(rcpts "$expect_count") == $'second@example.test\nthird@example.test' ]] ||
        fail "send_two: second recipients"
    grep -q '^CRAM-MD5 tim$' "$mail/$expect_count/auth" || fail "send_two: not authenticated"
    send "$variant/email_dlopen" 1 "$work/$variant/email_dlopen" --lib "$libdir/libtravine.so.1" \
        --auth tim:tanstaaftanstaaf 127.0.0.1 "$port" starttls "$pki/ca.pem"
    [[ $(rcpts "$expect_count") == "dlopen@example.test" ]] || fail "email_dlopen: recipient"
    grep -q 'Subject: from a C host' "$mail/$expect_count/content" || fail "email_dlopen: text"
done
TRAVINE_PASSWORD=tanstaaftanstaaf send "installed travine-send" 2 "$prefix/bin/travine-send" \
    --server 127.0.0.1 --port "$port" --tls starttls --cafile "$pki/ca.pem" --user tim \
    --from a@example.test --to z@example.test --subject "install check" --body "hello" --count 2
[[ $(rcpts "$expect_count") == "z@example.test" ]] || fail "travine-send: recipient"

[[ ! -e $mail/$((expect_count + 1)) ]] || fail "the server holds more messages than were sent"

step "scripts/uninstall.sh"
quiet bash "$root/scripts/uninstall.sh" "$work/build"
left=$(find "$prefix" ! -type d)
[[ -z $left ]] || fail "uninstall left $left"
[[ -z $(find "$prefix" -type d -name travine) ]] || fail "uninstall left a travine directory"

step "the Debian package"
(cd "$work/build" && quiet cpack -G DEB)
deb=$(find "$work/build" -maxdepth 1 -name 'travine_*.deb' -print -quit)
[[ -n $deb ]] || fail "cpack made no .deb"
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/deb.list"
for f in "usr/lib/$multiarch/libtravine.so.1.0.0" "usr/lib/$multiarch/pkgconfig/travine.pc"          "usr/lib/$multiarch/cmake/travine/travineConfig.cmake" usr/include/travine/smtp.h          usr/bin/travine-send usr/share/man/man1/travine-send.1.gz          usr/share/doc/travine/copyright; do
    grep -x "\./$f" "$work/deb.list" >/dev/null || fail "the .deb lacks /$f"
done
dpkg-deb -x "$deb" "$work/deb"
gzip -t "$work/deb/usr/share/man/man1/travine-send.1.gz" || fail "the man page is not gzip data"
quiet "$work/deb/usr/bin/travine-send" --version
dpkg-deb -f "$deb" Depends | grep -F libssl3 >/dev/null || fail "the .deb does not depend on libssl3"
echo "check-install: ok ($expect_count messages delivered)"
