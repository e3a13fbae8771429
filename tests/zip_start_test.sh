#!/usr/bin/env bash
# Starts the program users download: unpacks the release zip that `./dev dist` wrote and runs
# zip_start_test.exe (this build's driver) against the zipped SoftwareInstaller.exe under
# Wine, then the zipped applib.exe's check of the catalogue. Then checks that they wrote
# nothing outside the unpacked folder.
#
# Only what the started programs write is looked at, whatever else the machine does: they run
# in a Wine prefix of the test's own whose only drives are C:, the prefix's own, and D:, a
# scratch folder that holds the unpacked folder, the driver and the working folder. Everything
# they can write to is on those two drives, and no other process writes there, so every file
# that appears or changes on them outside the unpacked folder is theirs, apart from what
# Windows itself keeps for every program: the registry (beside drive_c, not on it) and the
# index files of WinINet's cache and cookie stores.
# Skips (77) when no zip has been written.
#   zip_start_test.sh DIST_DIR WINE_RUN DRIVER_EXE ZIP_PREFIX
set -euo pipefail
export LC_ALL=C.UTF-8  # the zip's names are UTF-8
dist_dir=$1 wine_run=$2 driver=$3
export WINE_RUN_PREFIX=$4
zip=$(ls "$dist_dir"/SoftwareInstaller-*-win32.zip 2>/dev/null | head -1) || true
[ -n "$zip" ] || { echo "no release zip in $dist_dir (./dev dist writes it)"; exit 77; }
name=$(basename "$zip" .zip)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
world="$scratch/world"  # drive D:
mkdir -p "$world/unpacked" "$world/cwd" "$world/driver"
(cd "$world/unpacked" && cmake -E tar xf "$zip")
unpacked="$world/unpacked/$name"
[ -f "$unpacked/SoftwareInstaller.exe" ] || { echo "no SoftwareInstaller.exe in $zip"; exit 1; }
cp "$driver" "$world/driver/"

# The prefix is made on first use. Its services start with this first run, so their own
# first writes come before the snapshot.
(cd "$world/cwd" && "$wine_run" cmd /c exit >/dev/null 2>&1) || true
drives="$WINE_RUN_PREFIX/dosdevices"
find "$drives" -maxdepth 1 -name '?:' ! -name 'c:' -exec rm -f {} +
ln -sfn "$world" "$drives/d:"
# Wine links the user's Desktop, Documents and the like to the home folder: made folders of
# the prefix's own, what lands in them is seen.
find "$WINE_RUN_PREFIX/drive_c" -type l | while read -r link; do rm -f "$link" && mkdir "$link"; done

# Every file on both drives outside the unpacked folder, with its size and time.
snapshot() {
  { find "$WINE_RUN_PREFIX/drive_c" -type f -printf 'C:/%P\t%s\t%T@\n'
    find "$world" -path "$world/unpacked" -prune -o -type f -printf 'D:/%P\t%s\t%T@\n'; } | sort
}
before=$(snapshot)

status=0
(cd "$world/cwd" && ZIP_PROGRAM_DIR="D:\\unpacked\\$name" "$wine_run" "D:\\driver\\$(basename "$driver")") || status=$?
[ "$status" -eq 0 ] || exit "$status"
# The zipped applib, in the release architecture, reads the zipped catalogue.
check=$(cd "$unpacked" && "$wine_run" "D:\\unpacked\\$name\\applib.exe" check 'AppLib\AppLib.xml' 2>/dev/null) || {
  echo "the zipped applib.exe check failed: $check"; exit 1; }
[ "$(tail -n1 <<<"$check")" = ok ] || { echo "the zipped applib.exe check said: $check"; exit 1; }

# Every process of the prefix has ended, so every write has landed.
/usr/lib/wine/wineserver -w
wininet='C:/users/[^/]*/AppData/Local/Microsoft/Windows/(INetCache/Content\.IE5|INetCookies)/index\.dat'
written=$(comm -13 <(echo "$before") <(snapshot) | cut -f1 | grep -Ev "^$wininet\$" || true)
if [ -n "$written" ]; then
  echo "written outside the unpacked folder:"
  echo "$written"
  exit 1
fi
echo "$zip: started, showed its catalogue, closed with 0, its applib checked the catalogue; wrote only inside $unpacked"
