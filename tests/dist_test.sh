#!/usr/bin/env bash
# Checks the release zip that `./dev dist` writes: it holds the program and its AppLib tree,
# applib and the usage text; the program is a 32-bit GUI executable, applib a 32-bit console
# one, and the text is what Notepad shows right on any Windows. Skips (77) when no zip has
# been written.
set -euo pipefail
export LC_ALL=C.UTF-8  # the zip's names are UTF-8
dist_dir=$1
zip=$(ls "$dist_dir"/SoftwareInstaller-*-win32.zip 2>/dev/null | head -1) || true
[ -n "$zip" ] || { echo "no release zip in $dist_dir"; exit 77; }
name=$(basename "$zip" .zip)

listing=$(cmake -E tar tf "$zip")
for entry in SoftwareInstaller.exe applib.exe 使用说明.txt AppLib/AppLib.xml AppLib/Skin/window_background.jpg AppLib/Skin/onekey_button.png \
             AppLib/Skin/group_button_background.png AppLib/Skin/item_install_button.png AppLib/AppIcons/ziptool.png \
             AppLib/GroupIcons/tools.png; do
  grep -qx "$name/$entry" <<<"$listing" || { echo "missing from the zip: $name/$entry"; exit 1; }
done

# Windows reads a name without the UTF-8 flag (bit 11 of the general-purpose flags) in the
# local code page. Every header of the text, local and central, must carry it.
text_entry="$name/使用说明.txt"
offsets=$(grep -obUaF "$text_entry" "$zip" | cut -d: -f1) || true
headers=0
for at in $offsets; do
  if [ "$(od -An -tx4 -j $((at - 46)) -N4 "$zip" | tr -d ' ')" = 02014b50 ]; then flags_at=$((at - 46 + 8))
  elif [ "$(od -An -tx4 -j $((at - 30)) -N4 "$zip" | tr -d ' ')" = 04034b50 ]; then flags_at=$((at - 30 + 6))
  else continue; fi
  flags=$(od -An -tu2 -j "$flags_at" -N2 "$zip" | tr -d ' ')
  [ $((flags & 0x800)) -ne 0 ] || { echo "$text_entry: a header without the UTF-8 flag (flags $flags)"; exit 1; }
  headers=$((headers + 1))
done
[ "$headers" -eq 2 ] || { echo "$text_entry: $headers zip headers found, not a local and a central one"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip" "$name/SoftwareInstaller.exe" "$name/applib.exe" "$name/使用说明.txt")
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
# PE32 for i386, with the subsystem given: 2 the Windows GUI, 3 the console.
check_exe() {
  local exe=$1 subsystem=$2 pe machine magic
  pe=$(u32 "$exe" 60)
  [ "$(od -An -c -j "$pe" -N2 "$exe" | tr -d ' ')" = "PE" ] || { echo "$exe: not a PE file"; exit 1; }
  machine=$(u16 "$exe" $((pe + 4)))
  magic=$(u16 "$exe" $((pe + 24)))
  [ "$machine" = 332 ] || { echo "$exe: machine $machine, not i386 (332)"; exit 1; }
  [ "$magic" = 267 ] || { echo "$exe: optional header magic $magic, not PE32 (267)"; exit 1; }
  [ "$(u16 "$exe" $((pe + 24 + 68)))" = "$subsystem" ] || { echo "$exe: subsystem is not $subsystem"; exit 1; }
}
check_exe "$work/$name/SoftwareInstaller.exe" 2
check_exe "$work/$name/applib.exe" 3

text="$work/$name/使用说明.txt"
[ "$(head -c3 "$text" | od -An -tx1 | tr -d ' ')" = efbbbf ] || { echo "使用说明.txt has no UTF-8 byte-order mark"; exit 1; }
iconv -f UTF-8 -t UTF-8 "$text" >/dev/null || { echo "使用说明.txt is not UTF-8"; exit 1; }
lines=$(wc -l <"$text")
crlf=$(grep -c $'\r$' "$text") || true
[ "$lines" -gt 0 ] && [ "$crlf" = "$lines" ] || { echo "使用说明.txt: $crlf of $lines lines end in CRLF"; exit 1; }
for phrase in 'SoftwareInstaller.exe' 'applib fetch AppLib\AppLib.xml' 'applib check AppLib\AppLib.xml'; do
  grep -qF "$phrase" "$text" || { echo "使用说明.txt does not tell: $phrase"; exit 1; }
done
echo "$zip: 32-bit GUI program, its AppLib tree, applib for the console and the usage text"
