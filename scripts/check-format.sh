#!/usr/bin/env bash
# Checks that every C and C++ file under src, tools, tests, bench, examples
# and demo is formatted as .clang-format says (clang-format 14), and lists
# the files that are not. --fix formats them in place.
#
#   bash scripts/check-format.sh [--fix]
#
# Environment: CLANG_FORMAT, the program (default clang-format-14).
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format-14}
dirs=(src tools tests bench examples demo)

command -v "$clang_format" >/dev/null ||
    { echo "check-format: no $clang_format (bash scripts/setup-deps.sh installs it)" >&2; exit 1; }

# The tracked and new files in a git checkout; every file otherwise.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    list=$(git ls-files --cached --others --exclude-standard -- "${dirs[@]}")
else
    list=$(find "${dirs[@]}" -type f)
fi
files=()
while IFS= read -r f; do
    [[ $f =~ \.(c|cc|cpp|h|hpp)$ && -f $f ]] && files+=("$f")
done <<<"$list"
((${#files[@]})) || { echo "check-format: no C or C++ files found" >&2; exit 1; }

unformatted=()
for f in "${files[@]}"; do
    "$clang_format" --dry-run -Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done

if ((${#unformatted[@]} == 0)); then
    echo "check-format: ${#files[@]} files formatted"
    exit 0
fi
if [[ ${1:-} == --fix ]]; then
    "$clang_format" -i "${unformatted[@]}"
    printf 'check-format: formatted %s\n' "${unformatted[@]}"
    exit 0
fi
echo "check-format: ${#unformatted[@]} of ${#files[@]} files differ from .clang-format:" >&2
printf '  %s\n' "${unformatted[@]}" >&2
echo "check-format: bash scripts/check-format.sh --fix formats them" >&2
exit 1
