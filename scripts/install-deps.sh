#!/usr/bin/env bash
# Installs what lyrx needs to build and test on Debian 12: the toolchain,
# GoogleTest, Google Benchmark and yyjson 0.12.0. Idempotent; quiet when all is there.
set -euo pipefail

YYJSON_VERSION=0.12.0+ds-2
PACKAGES=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev)

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

have_version() {
  [ "$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true)" = "$YYJSON_VERSION" ]
}
if have_version libyyjson0 && have_version libyyjson-dev; then
  exit 0
fi

# Debian 12 has no yyjson; unstable's 0.12.0 build needs only libc6 and installs
# cleanly. Fetch it from the unstable suite of the mirror this machine already
# uses, through a private apt configuration so the system's suites stay untouched.
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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts"
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror unstable main" > "$work/sources.list"
apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=$work/parts"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
          -o "APT::Get::List-Cleanup=0" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
echo "install-deps: fetching yyjson $YYJSON_VERSION from the unstable suite"
apt-get "${apt_opts[@]}" update -qq
(cd "$work" && apt-get "${apt_opts[@]}" download -qq "libyyjson0=$YYJSON_VERSION" "libyyjson-dev=$YYJSON_VERSION")
$SUDO dpkg -i "$work"/libyyjson0_*.deb "$work"/libyyjson-dev_*.deb >/dev/null
have_version libyyjson0 && have_version libyyjson-dev || { echo "install-deps: yyjson $YYJSON_VERSION did not install" >&2; exit 1; }
