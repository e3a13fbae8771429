#!/usr/bin/env bash
# Installs everything the builds and tests need, from Debian's packages.
# Idempotent: when every package and the pugixml sources are present it does nothing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/.cache/deps"

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  googletest libboost-dev libpugixml-dev
  wine64 wine32:i386 xvfb xauth fonts-wqy-microhei
  dpkg-dev curl openssl socat
  nsis wixl osslsigncode
)

missing_packages() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || echo "$p"
  done
}

sudo_if_needed() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

has_deb_src() {
  grep -sqE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources
}

# A deb-src entry is a copy of the machine's own deb entries with the type changed,
# so the sources come from the same archive and suite as the binary packages.
add_deb_src() {
  local f entries822="" entrieslist=""
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    entries822+=$(awk 'function flush() { if (keep) printf "%s\n", buf; buf = ""; keep = 0 }
         /^[[:space:]]*$/ { flush(); next }
         /^Types:/ { n = split(substr($0, 7), t, /[ \t]+/)
                     for (i = 1; i <= n; i++) if (t[i] == "deb") keep = 1
                     $0 = "Types: deb-src" }
         { buf = buf $0 "\n" }
         END { flush() }' "$f")$'\n'
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    entrieslist+=$(sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f")$'\n'
  done
  if [ -n "${entries822//[[:space:]]/}" ]; then
    printf '%s' "$entries822" | sudo_if_needed tee /etc/apt/sources.list.d/project-deb-src.sources >/dev/null
  fi
  if [ -n "${entrieslist//[[:space:]]/}" ]; then
    printf '%s' "$entrieslist" | sudo_if_needed tee /etc/apt/sources.list.d/project-deb-src.list >/dev/null
  fi
}

pugixml_version() { dpkg-query -W -f='${Version}' libpugixml-dev; }

pugixml_ready() {
  [ -f "$deps/pugixml/src/pugixml.cpp" ] && [ "$(cat "$deps/pugixml/.debian-version" 2>/dev/null)" = "$(pugixml_version 2>/dev/null)" ]
}

# MinGW builds compile the very pugixml that Debian ships as libpugixml-dev.
fetch_pugixml_source() {
  local version work
  version=$(pugixml_version)
  work="$deps/pugixml-download"
  rm -rf "$work" "$deps/pugixml"
  mkdir -p "$work"
  (cd "$work" && apt-get source --download-only "pugixml=$version")
  local dsc
  dsc=$(ls "$work"/pugixml_*.dsc)
  if ! grep -q "^Version: $version\$" "$dsc"; then
    echo "setup: pugixml source $(grep '^Version:' "$dsc") does not match libpugixml-dev $version" >&2
    exit 1
  fi
  (cd "$work" && dpkg-source --no-check -x "$(basename "$dsc")" src >/dev/null)
  mv "$work/src" "$deps/pugixml"
  echo "$version" > "$deps/pugixml/.debian-version"
  rm -rf "$work"
}

# The release build is i686: its tests run through wine64's WoW64, which needs Debian's
# 32-bit Wine and so the i386 architecture.
has_i386() { dpkg --print-foreign-architectures | grep -qx i386; }

# Runs Wine's own 32-bit loader: a kernel without 32-bit support refuses it whatever its
# name says, and so would refuse every 32-bit program Wine starts.
report_32bit() {
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "setup: this machine cannot start 32-bit programs (/usr/lib/wine/wine does not run); the win32-test suite will be skipped" >&2
  fi
}

# A mirror in the middle of a sync serves an index that does not match its InRelease, and
# apt-get update exits 100 for hours. The lists it did read are still good, so set-up goes
# on with them after three tries and names what failed.
update_package_lists() {
  local try out
  for try in 1 2 3; do
    out=$(sudo_if_needed apt-get update -qq 2>&1) && return 0
    [ "$try" -eq 3 ] || sleep 20
  done
  echo "setup: apt-get update failed 3 times, going on with the lists it could read: $(failed_indexes <<<"$out")" >&2
}

# "E: Failed to fetch URL  reason" lines, joined on one line; apt's last line otherwise.
failed_indexes() {
  local out lines
  out=$(cat)
  lines=$(sed -nE 's/^E: Failed to fetch (.*)$/\1/p' <<<"$out" | tr -s ' ' | paste -sd ';' -)
  echo "${lines:-$(tail -1 <<<"$out")}"
}

release_codename() { . /etc/os-release && echo "$VERSION_CODENAME"; }

# Preferring the release suite keeps both architectures at one version: when only one
# architecture's index of the security suite could be read, the newest 64-bit libraries
# have no 32-bit twin and wine32:i386 would not install at all.
install_packages() {
  local release p why
  release=$(release_codename)
  sudo_if_needed apt-get install -y -qq --no-install-recommends -t "$release" "$@" && return 0
  for p in "$@"; do
    why=$(apt-get install -s -qq --no-install-recommends -t "$release" "$p" 2>&1) && continue
    echo "setup: cannot install $p: $(grep -vE '^(Reading|Building|Some packages|distribution|unstable|requested|or been moved|The following)' <<<"$why" | tr -s ' ' | paste -sd ' ' -)" >&2
    exit 1
  done
  echo "setup: apt-get install failed for the packages together, though each installs alone: $*" >&2
  exit 1
}

main() {
  local missing
  has_i386 || sudo_if_needed dpkg --add-architecture i386
  missing=$(missing_packages)
  if [ -n "$missing" ] || ! pugixml_ready; then
    export DEBIAN_FRONTEND=noninteractive
    has_deb_src || add_deb_src
    update_package_lists
    # shellcheck disable=SC2086
    [ -z "$missing" ] || install_packages $missing
    pugixml_ready || fetch_pugixml_source
  fi
  report_32bit
}

main "$@"
