#!/usr/bin/env bash
# Removes what `cmake --install BUILD_DIR` installed: every file listed in
# BUILD_DIR/install_manifest.txt, then the directories of travine's own that
# are left empty (include/travine, lib/.../cmake/travine, share/doc/travine).
# Shared directories such as lib/ or bin/ stay. Refuses, and removes nothing,
# when a listed file belongs to a Debian package (remove that with apt).
#
#   bash scripts/uninstall.sh BUILD_DIR
#
# The manifest is the last install's from that directory; cpack rewrites it
# with the package's paths, so package from a build directory of its own.
# After removing from a system prefix such as /usr/local, run ldconfig.
set -euo pipefail

if (($# != 1)); then
    echo "usage: $0 BUILD_DIR" >&2
    exit 64
fi
manifest=$1/install_manifest.txt
[[ -f $manifest ]] || { echo "uninstall: no $manifest (nothing was installed from $1)" >&2; exit 1; }

present=()
while IFS= read -r f || [[ -n $f ]]; do  # the last line has no line feed
    if [[ -n $f && (-e $f || -L $f) ]]; then
        present+=("$f")
    fi
done <"$manifest"
if ((${#present[@]} == 0)); then
    echo "uninstall: none of the files listed in $manifest is installed"
    exit 0
fi
owners=
if command -v dpkg-query >/dev/null; then
    owners=$(dpkg-query -S "${present[@]}" 2>/dev/null || true)
fi
if [[ -n $owners ]]; then
    echo "uninstall: these files belong to Debian packages; nothing was removed:" >&2
    echo "$owners" >&2
    exit 1
fi

dirs=()
for f in "${present[@]}"; do
    rm -f -- "$f"
    dir=$(dirname "$f")
    if [[ $(basename "$dir") == travine ]]; then
        dirs+=("$dir")
    fi
done
for dir in "${dirs[@]}"; do
    if [[ -d $dir ]]; then
        rmdir --ignore-fail-on-non-empty -- "$dir"
    fi
done
echo "uninstall: removed ${#present[@]} files listed in $manifest"
