#!/usr/bin/env bash
# Installs a built tree into a staging prefix and uses it from outside, as a
# new user would: the files installed, the SONAME, the installed lyrx tool, a
# CMake project with find_package(lyrx), the same C host built with pkg-config,
# and the Python package installed with pip into a fresh venv (offline).
# usage: BUILD=build scripts/check-install.sh   (the tree must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=$(cd "${BUILD:-build}" && pwd)
python=${PYTHON:-python3}

say() { echo "check-install: $*"; }
fail() { echo "check-install: FAILED: $*" >&2; exit 1; }
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build (run make build)"
work=$(mktemp -d)
trap 'rc=$?; if [ $rc -eq 0 ]; then rm -rf "$work"; else echo "check-install: files kept in $work" >&2; fi' EXIT
stage=$work/prefix

version=$(sed -n 's/^project(lyrx VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
libdir=$(cache CMAKE_INSTALL_LIBDIR)
base=libnordavex-velmora-lrc-lyrics-parse.so
config=$(cache CMAKE_BUILD_TYPE | tr 'A-Z' 'a-z')

cmake --install "$build" --prefix "$stage" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# Exactly these files: nothing of the tests, benchmarks or fuzzing.
{
  echo "$(cache CMAKE_INSTALL_INCLUDEDIR)/lyrx.h"
  for f in "$base" "$base.$major" "$base.$version" pkgconfig/lyrx.pc \
           cmake/lyrx/lyrxConfig.cmake cmake/lyrx/lyrxConfigVersion.cmake \
           cmake/lyrx/lyrxTargets.cmake "cmake/lyrx/lyrxTargets-${config:-noconfig}.cmake"; do
    echo "$libdir/$f"
  done
  if [ "$(cache LYRX_BUILD_TOOLS)" = ON ]; then
    echo "$(cache CMAKE_INSTALL_BINDIR)/lyrx"
    # GNUInstallDirs leaves these empty in the cache when they take their default.
    datarootdir=$(cache CMAKE_INSTALL_DATAROOTDIR)
    mandir=$(cache CMAKE_INSTALL_MANDIR)
    if [ -f man/lyrx.1 ]; then echo "${mandir:-${datarootdir:-share}/man}/man1/lyrx.1"; fi
  fi
} | LC_ALL=C sort >"$work/want"
(cd "$stage" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) >"$work/got"
diff -u "$work/want" "$work/got" >&2 || fail "installed files differ from the list above (- expected, + installed)"
say "$(wc -l <"$work/got") files installed under $libdir, $(cache CMAKE_INSTALL_INCLUDEDIR), $(cache CMAKE_INSTALL_BINDIR)"

lib=$stage/$libdir
soname=$(objdump -p "$lib/$base.$version" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "$base.$major" ] || fail "SONAME is '$soname', want $base.$major"
[ "$(readlink "$lib/$base")" = "$base.$major" ] && [ "$(readlink "$lib/$base.$major")" = "$base.$version" ] ||
  fail "the links $base -> $base.$major -> $base.$version are not in place"
say "SONAME $soname, links $base -> $base.$major -> $base.$version"

# The installed tool finds the installed library by itself and reads the
# sample as the built one does.
if [ -x "$stage/bin/lyrx" ]; then
  env -u LD_LIBRARY_PATH "$stage/bin/lyrx" examples/sample.lrc >"$work/tool.out" || fail "installed lyrx failed on examples/sample.lrc"
  "$build/lyrx" examples/sample.lrc | cmp -s - "$work/tool.out" || fail "installed lyrx prints other text than $build/lyrx"
  say "installed lyrx runs without LD_LIBRARY_PATH"
fi

# The README's C host, built both ways and run.
awk '/^## A C host/ { sec = 1; next } sec && /^```c$/ { on = 1; next } on && /^```$/ { exit } on' README.md >"$work/readme-host.c"
cmp -s "$work/readme-host.c" tests/consumer/host.c || fail "README's C host differs from tests/consumer/host.c"
cat >"$work/host.expected" <<'EOF'
title: Song
   1000    4500  Hello
   4500    7500  World
EOF
cmake -S tests/consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$stage" >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "CMake consumer"; }
env -u LD_LIBRARY_PATH "$work/consumer/host" | diff -u "$work/host.expected" - >&2 || fail "CMake consumer output"
say "find_package(lyrx) consumer builds and runs"

export PKG_CONFIG_PATH=$lib/pkgconfig
[ "$(pkg-config --modversion lyrx)" = "$version" ] || fail "pkg-config --modversion lyrx is not $version"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Wpedantic -Werror tests/consumer/host.c $(pkg-config --cflags --libs lyrx) -o "$work/host-pc" ||
  fail "cc with pkg-config --cflags --libs lyrx"
LD_LIBRARY_PATH=$lib "$work/host-pc" | diff -u "$work/host.expected" - >&2 || fail "pkg-config consumer output"
say "pkg-config consumer ($(echo $(pkg-config --libs lyrx))) builds and runs"

# Python: pip install into a fresh venv, offline. Setuptools before 70.1 needs
# the wheel package to build one; Debian ships it as python3-wheel-whl.
"$python" -m venv "$work/venv" || fail "$python -m venv (install python3-venv)"
py=$work/venv/bin/python
pip=("$py" -m pip install -q --no-index --no-build-isolation --disable-pip-version-check)
if ! "$py" -c 'import wheel' 2>/dev/null; then
  "${pip[@]}" --find-links /usr/share/python-wheels wheel || fail "no wheel package offline (install python3-wheel-whl)"
fi
# pip builds inside the folder it is given: build from copies.
cp -r python "$work/py-beside" && cp -r python "$work/py-plain"
cp "$lib/$base.$major" "$work/py-beside/lyrx/"
"${pip[@]}" "$work/py-beside" || fail "pip install of the package with the library beside it"
loaded=$(cd "$work" && env -u LYRX_LIBRARY -u LD_LIBRARY_PATH "$py" -c \
  'import lyrx; assert len(lyrx.parse_file("'"$repo"'/examples/sample.lrc").lines) > 0; print(lyrx.library_path())') ||
  fail "the installed package cannot parse with the library beside it"
case "$loaded" in "$work/venv/"*"/site-packages/lyrx/$base.$major") ;; *) fail "loaded $loaded, not the copy in the package" ;; esac
say "pip install with the library in the package: loads $(basename "$loaded") from site-packages"
"${pip[@]}" --force-reinstall "$work/py-plain" || fail "pip install of the plain package"
(cd "$work" && env -u LYRX_LIBRARY LD_LIBRARY_PATH="$lib" PYTHONDONTWRITEBYTECODE=1 \
  "$py" -m unittest discover -s "$repo/python/tests" >"$work/unittest.log" 2>&1) || { cat "$work/unittest.log"; fail "Python tests on the installed package"; }
say "pip install of the plain package: $(tail -n 3 "$work/unittest.log" | grep -E '^(OK|Ran)' | tr '\n' ' ')with the library on LD_LIBRARY_PATH"
say "all passed"
