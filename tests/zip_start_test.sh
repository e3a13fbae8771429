#!/usr/bin/env bash
# Starts the program users download: unpacks the release zip that `./dev dist` wrote into a
# scratch folder and runs zip_start_test.exe (this build's driver) against the zipped
# SoftwareInstaller.exe under Wine, then the zipped applib.exe's check of the catalogue. Then checks that nothing was written outside the unpacked
# folder, apart from what Wine keeps (its prefix, the wrapper's lock beside it, its server's
# sockets in /tmp), the display's sockets, and ctest's own logs.
# Skips (77) when no zip has been written.
#   zip_start_test.sh DIST_DIR WINE_RUN DRIVER_EXE WINE_PREFIX CTEST_LOG_DIR
set -euo pipefail
export LC_ALL=C.UTF-8  # the zip's names are UTF-8
dist_dir=$1 wine_run=$2 driver=$3 prefix=$4 ctest_logs=$5
zip=$(ls "$dist_dir"/SoftwareInstaller-*-win32.zip 2>/dev/null | head -1) || true
[ -n "$zip" ] || { echo "no release zip in $dist_dir (./dev dist writes it)"; exit 77; }
name=$(basename "$zip" .zip)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/unpacked" "$scratch/cwd"
(cd "$scratch/unpacked" && cmake -E tar xf "$zip")
unpacked="$scratch/unpacked/$name"
[ -f "$unpacked/SoftwareInstaller.exe" ] || { echo "no SoftwareInstaller.exe in $zip"; exit 1; }

# Start the prefix and its services first, so the marker's time comes after Wine's own
# first-start writes, and nothing of them is counted against the program.
"$wine_run" cmd /c exit >/dev/null 2>&1 || true
marker="$scratch/marker"
touch "$marker"

status=0
(cd "$scratch/cwd" && ZIP_PROGRAM_DIR="Z:${unpacked//\//\\}" "$wine_run" "$driver") || status=$?
[ "$status" -eq 0 ] || exit "$status"
# The zipped applib, in the release architecture, reads the zipped catalogue.
check=$(cd "$unpacked" && "$wine_run" ./applib.exe check 'AppLib\AppLib.xml' 2>/dev/null) || {
  echo "the zipped applib.exe check failed: $check"; exit 1; }
[ "$(tail -n1 <<<"$check")" = ok ] || { echo "the zipped applib.exe check said: $check"; exit 1; }

written=$(find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run \
                         -o -path "$unpacked" -o -path "$prefix" -o -path "$prefix.lock" -o -path "$ctest_logs" \
                         -o -path '/tmp/.wine-*' -o -path '/tmp/wine-*' -o -path /tmp/.X11-unix -o -path '/tmp/.X*-lock' \) -prune \
               -o -newer "$marker" ! -type d -print 2>/dev/null || true)
if [ -n "$written" ]; then
  echo "written outside the unpacked folder:"
  echo "$written"
  exit 1
fi
echo "$zip: started, showed its catalogue, closed with 0, its applib checked the catalogue; wrote only inside $unpacked"
