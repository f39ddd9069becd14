#!/usr/bin/env bash
# Compares the symbols a shared library exports with the expected list; for a
# Windows DLL, also checks that it imports from system DLLs only.
# usage: check_exports.sh LIBRARY EXPECTED_LIST
set -euo pipefail
lib=$1
expected=$2
case "$lib" in
  *.dll)
    objdump=x86_64-w64-mingw32-objdump
    dump=$("$objdump" -p "$lib")
    actual=$(printf '%s\n' "$dump" | awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                                         on && /^\t\[/ { print $NF; next } on { on = 0 }' | LC_ALL=C sort -u)
    imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ { print $3 }' | LC_ALL=C sort -u)
    foreign=$(printf '%s\n' "$imports" | grep -v -i -E '^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$' || true)
    if [ -n "$foreign" ]; then
      echo "$lib imports from non-system DLLs:"
      printf '  %s\n' $foreign
      exit 1
    fi
    ;;
  *)
    actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVv]$/ { print $3 }' | sed 's/@.*//' | LC_ALL=C sort -u)
    ;;
esac
want=$(grep -v '^#' "$expected" | LC_ALL=C sort -u)
if [ "$actual" != "$want" ]; then
  echo "exported symbols differ from $expected (< expected, > actual):"
  diff <(echo "$want") <(echo "$actual") || true
  exit 1
fi
echo "exports OK: $(echo "$actual" | wc -l) symbols${imports:+; imports: $(echo $imports)}"
