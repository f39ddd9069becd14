#!/usr/bin/env bash
# Static analysis of the library and the command-line host: clang-tidy (checks
# in .clang-tidy, every finding an error) over the compile commands of a build
# of its own, then cppcheck. Runs both, prints each tool's count of findings,
# and exits 1 when either found anything.
# Needs clang-tidy-14 and cppcheck: scripts/install-deps.sh --lint (make lint does it).
# usage: static-analysis.sh   (LINT_BUILD: the build folder, default build-lint)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${LINT_BUILD:-build-lint}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
for tool in clang-tidy-14 run-clang-tidy-14 cppcheck; do
  command -v "$tool" >/dev/null || { echo "static-analysis: $tool missing: run scripts/install-deps.sh --lint" >&2; exit 2; }
done

# Only configured, never built: clang-tidy needs the compile commands alone.
# The test build compiles the sources a second time with the fault-injection
# seam, so clang-tidy sees both variants of every unit.
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

files=(src/*.cpp tools/*.cpp)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0

echo "static-analysis: clang-tidy on ${#files[@]} files"
# run-clang-tidy colours its output and clang-tidy counts the diagnostics it
# hid in system headers; neither belongs in a log.
root_re=$(printf '%s' "$PWD" | sed 's/[][\.*^$+?(){}|]/\\&/g')
tidy_rc=0
run-clang-tidy-14 -clang-tidy-binary clang-tidy-14 -p "$build" -j "$jobs" -quiet \
    "^$root_re/(src|tools)/[^/]*\.cpp$" 2>&1 |
  sed -u -e 's/\x1b\[[0-9;]*m//g' -e '/^[0-9]* warnings\{0,1\} generated\.$/d' -e '/^Suppressed [0-9]* warnings/d' \
      -e '/^Use -header-filter=/d' | tee "$log" || tidy_rc=$?
tidy_findings=$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: (warning|error): ' "$log" || true)
echo "static-analysis: clang-tidy: $tidy_findings findings"
if [ "$tidy_rc" != 0 ] || [ "$tidy_findings" != 0 ]; then status=1; fi
# A file missing from the compile commands would pass unseen.
tidy_files=$(grep -c '^clang-tidy-14 ' "$log" || true)
if [ "$tidy_files" != "${#files[@]}" ]; then
  echo "static-analysis: clang-tidy checked $tidy_files of ${#files[@]} files" >&2
  status=1
fi

echo "static-analysis: cppcheck on src and tools"
# Without -D, cppcheck checks each unit in every configuration its #ifs name
# (the Windows and fault-injection code included). yyjson.h and iconv.h are
# system headers it need not read.
cppcheck_rc=0
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
    --inline-suppr --suppress=missingIncludeSystem --error-exitcode=1 --quiet -j "$jobs" \
    -I include -I src --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
    src tools 2>&1 | tee "$log" || cppcheck_rc=$?
cppcheck_findings=$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: [a-z]+: ' "$log" || true)
echo "static-analysis: cppcheck: $cppcheck_findings findings"
if [ "$cppcheck_rc" != 0 ] || [ "$cppcheck_findings" != 0 ]; then status=1; fi

exit "$status"
