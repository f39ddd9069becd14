#!/usr/bin/env bash
# Installs what lyrx needs to build and test on Debian 12: the toolchain,
# GoogleTest, Google Benchmark, yyjson 0.12.0, and Python 3 with venv and an
# offline wheel of the wheel package (the Python binding's tests and its pip
# install). Idempotent; quiet when all is there.
# With --windows, also what the Windows cross-build and its tests need: MinGW-w64,
# Wine, and the source of Debian's Google Benchmark release to build for Windows.
# With --lint, also the static analysers of scripts/static-analysis.sh: clang-tidy 14
# and cppcheck. With --fuzz, clang and its libFuzzer runtime; with --valgrind, valgrind.
# With --peers, what bench/peers compares lyrx with: libavformat, node and npm (npm
# only where the node has none of its own), matplotlib, and the JavaScript parsers
# pinned in bench/peers/package.json, installed in a cache folder.
set -euo pipefail

windows=0
lint=0
fuzz=0
valgrind=0
peers=0
for arg in "$@"; do
  case "$arg" in
    --windows) windows=1 ;;
    --lint) lint=1 ;;
    --fuzz) fuzz=1 ;;
    --valgrind) valgrind=1 ;;
    --peers) peers=1 ;;
    *) echo "usage: install-deps.sh [--windows] [--lint] [--fuzz] [--valgrind] [--peers]" >&2; exit 2 ;;
  esac
done

YYJSON_VERSION=0.12.0+ds-2
BENCHMARK_VERSION=1.7.1
PACKAGES=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          python3 python3-venv python3-wheel-whl)
if [ "$windows" = 1 ]; then
  PACKAGES+=(g++-mingw-w64-x86-64-posix wine64)
fi
if [ "$lint" = 1 ]; then
  PACKAGES+=(clang-tidy-14 cppcheck)
fi
# Debian 12's clang is 14; libclang_rt.fuzzer comes in its own package.
if [ "$fuzz" = 1 ]; then
  PACKAGES+=(clang libclang-rt-14-dev)
fi
if [ "$valgrind" = 1 ]; then
  PACKAGES+=(valgrind)
fi
# A node packaged with its own npm conflicts with Debian's npm package.
if [ "$peers" = 1 ]; then
  PACKAGES+=(nodejs libavformat-dev python3-matplotlib)
  command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Host locales the tests run the library in (it must answer as in "C").
if ! command -v localedef >/dev/null 2>&1 || [ ! -d /usr/share/i18n/locales ]; then
  echo "install-deps: installing locales"
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq locales >/dev/null
fi
for spec in tr_TR:ISO-8859-9 tr_TR:UTF-8 de_DE:ISO-8859-1; do
  name=${spec%%:*}.${spec#*:}
  canon=$(echo "$name" | tr 'A-Z' 'a-z' | tr -d '_-' | sed 's/^\(..\)\(..\)/\1_\2/')
  if ! locale -a 2>/dev/null | tr 'A-Z' 'a-z' | tr -d '-' | grep -qx "$canon"; then
    $SUDO localedef -i "${spec%%:*}" -f "${spec#*:}" "$name" 2>/dev/null ||
      echo "install-deps: could not make the locale $name; its tests will be left out" >&2
  fi
done

# The JavaScript peers at the lock file's versions, outside the checkout.
if [ "$peers" = 1 ]; then
  peers_src="$(cd "$(dirname "$0")/.." && pwd)/bench/peers"
  peers_dir="${XDG_CACHE_HOME:-$HOME/.cache}/lyrx/peers"
  if ! cmp -s "$peers_src/package.json" "$peers_dir/package.json" ||
     ! cmp -s "$peers_src/package-lock.json" "$peers_dir/package-lock.json" ||
     [ ! -f "$peers_dir/node_modules/.package-lock.json" ]; then
    echo "install-deps: installing the JavaScript peers into $peers_dir"
    mkdir -p "$peers_dir"
    cp "$peers_src/package.json" "$peers_src/package-lock.json" "$peers_dir/"
    (cd "$peers_dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
  fi
fi

have_version() {
  [ "$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true)" = "$YYJSON_VERSION" ]
}
need_yyjson=1
if have_version libyyjson0 && have_version libyyjson-dev; then need_yyjson=0; fi
benchmark_src="${XDG_CACHE_HOME:-$HOME/.cache}/lyrx/benchmark-$BENCHMARK_VERSION"
need_benchmark=0
if [ "$windows" = 1 ] && [ ! -f "$benchmark_src/CMakeLists.txt" ]; then need_benchmark=1; fi
[ "$need_yyjson" = 1 ] || [ "$need_benchmark" = 1 ] || exit 0

# The mirror this machine already uses, read from the apt sources.
mirror=""
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  mirror=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' "$f")
  [ -n "$mirror" ] && break
done
if [ -z "$mirror" ]; then
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    mirror=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^(https?|ftp|file):/ && $i !~ /security/) { print $i; exit } }' "$f")
    [ -n "$mirror" ] && break
  done
fi
if [ -z "$mirror" ]; then
  echo "install-deps: cannot find a Debian mirror in the apt sources" >&2
  exit 1
fi

# A private apt configuration, so the system's suites stay untouched.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts"
apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=$work/parts"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
          -o "APT::Get::List-Cleanup=0" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
keyring="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]"
: > "$work/sources.list"
# Debian 12 has no yyjson; unstable's 0.12.0 build needs only libc6 and installs cleanly.
[ "$need_yyjson" = 1 ] && echo "deb $keyring $mirror unstable main" >> "$work/sources.list"
[ "$need_benchmark" = 1 ] && echo "deb-src $keyring $mirror bookworm main" >> "$work/sources.list"
apt-get "${apt_opts[@]}" update -qq 2>/dev/null

if [ "$need_yyjson" = 1 ]; then
  echo "install-deps: fetching yyjson $YYJSON_VERSION from the unstable suite"
  (cd "$work" && apt-get "${apt_opts[@]}" download -qq "libyyjson0=$YYJSON_VERSION" "libyyjson-dev=$YYJSON_VERSION" 2>/dev/null)
  $SUDO dpkg -i "$work"/libyyjson0_*.deb "$work"/libyyjson-dev_*.deb >/dev/null
  have_version libyyjson0 && have_version libyyjson-dev || { echo "install-deps: yyjson $YYJSON_VERSION did not install" >&2; exit 1; }
fi

if [ "$need_benchmark" = 1 ]; then
  # The same Google Benchmark release as Debian 12's package, as source.
  echo "install-deps: fetching the Google Benchmark $BENCHMARK_VERSION source"
  (cd "$work" && apt-get "${apt_opts[@]}" source --download-only -qq "benchmark=$BENCHMARK_VERSION-1" >/dev/null 2>&1)
  mkdir -p "$(dirname "$benchmark_src")"
  rm -rf "$benchmark_src.tmp" && mkdir -p "$benchmark_src.tmp"
  tar -xzf "$work/benchmark_$BENCHMARK_VERSION.orig.tar.gz" -C "$benchmark_src.tmp" --strip-components=1
  rm -rf "$benchmark_src" && mv "$benchmark_src.tmp" "$benchmark_src"
fi
