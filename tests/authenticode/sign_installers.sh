#!/usr/bin/env bash
# Signs copies of an installer program and a package with the certificates beside this
# script, one file per way a signature can stand, into OUT:
#   signed.exe signed.msi  by "Tovarin Test Publisher", from the test CA
#   unsigned.exe           not signed
#   other.exe              by "Other Test Publisher", from the test CA
#   self.exe               by "Tovarin Test Publisher", self-signed
#   changed.exe            signed.exe with one byte changed after signing
# Usage: sign_installers.sh OUT PROGRAM.exe PACKAGE.msi
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1 program=$2 package=$3
mkdir -p "$out"

sign() {  # signer input output
  rm -f "$3"
  osslsigncode sign -certs "$here/$1.pem" -key "$here/$1.pem" -ac "$here/ca.pem" -h sha256 -n "Test installer" \
    -in "$2" -out "$3" >/dev/null
}
cp "$program" "$out/unsigned.exe"
sign publisher "$program" "$out/signed.exe"
sign other "$program" "$out/other.exe"
sign self "$program" "$out/self.exe"
sign publisher "$package" "$out/signed.msi"
# A byte of the program's own code, far from the checksum and the signature.
cp "$out/signed.exe" "$out/changed.exe"
offset=1024
byte=$(od -An -tu1 -j "$offset" -N1 "$out/changed.exe" | tr -d ' ')
printf "\\$(printf %03o $(((byte + 1) % 256)))" | dd of="$out/changed.exe" bs=1 seek="$offset" conv=notrunc status=none
