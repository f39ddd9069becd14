#!/usr/bin/env bash
# Compares the dynamic symbols a library defines with the expected list.
# usage: check_exports.sh LIBRARY EXPECTED_LIST
set -euo pipefail
lib=$1
expected=$2
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVv]$/ { print $3 }' | sed 's/@.*//' | LC_ALL=C sort -u)
want=$(grep -v '^#' "$expected" | LC_ALL=C sort -u)
if [ "$actual" != "$want" ]; then
  echo "exported symbols differ from $expected (< expected, > actual):"
  diff <(echo "$want") <(echo "$actual") || true
  exit 1
fi
echo "exports OK: $(echo "$actual" | wc -l) symbols"
