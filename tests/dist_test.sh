#!/usr/bin/env bash
# Checks the release zip that `./dev dist` writes: it holds the program and its AppLib tree,
# and the program is a 32-bit GUI executable. Skips (77) when no zip has been written.
set -euo pipefail
dist_dir=$1
zip=$(ls "$dist_dir"/SoftwareInstaller-*-win32.zip 2>/dev/null | head -1) || true
[ -n "$zip" ] || { echo "no release zip in $dist_dir"; exit 77; }
name=$(basename "$zip" .zip)

listing=$(cmake -E tar tf "$zip")
for entry in SoftwareInstaller.exe AppLib/AppLib.xml AppLib/Skin/window_background.jpg AppLib/Skin/onekey_button.png \
             AppLib/Skin/group_button_background.png AppLib/Skin/item_install_button.png AppLib/AppIcons/ziptool.png \
             AppLib/GroupIcons/tools.png; do
  grep -qx "$name/$entry" <<<"$listing" || { echo "missing from the zip: $name/$entry"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip" "$name/SoftwareInstaller.exe")
exe="$work/$name/SoftwareInstaller.exe"
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
pe=$(u32 "$exe" 60)
[ "$(od -An -c -j "$pe" -N2 "$exe" | tr -d ' ')" = "PE" ] || { echo "not a PE file"; exit 1; }
machine=$(u16 "$exe" $((pe + 4)))
magic=$(u16 "$exe" $((pe + 24)))
subsystem=$(u16 "$exe" $((pe + 24 + 68)))
[ "$machine" = 332 ] || { echo "machine $machine, not i386 (332)"; exit 1; }
[ "$magic" = 267 ] || { echo "optional header magic $magic, not PE32 (267)"; exit 1; }
[ "$subsystem" = 2 ] || { echo "subsystem $subsystem, not the Windows GUI (2)"; exit 1; }
echo "$zip: 32-bit GUI program and its AppLib tree"
