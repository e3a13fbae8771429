#!/usr/bin/env bash
# Writes the code-signing tests' certificates beside this script. Keys for the tests only.
#   ca.pem          the test CA, which the tests add to the trusted bundle
#   publisher.pem   "Tovarin Test Publisher", from the test CA
#   other.pem       "Other Test Publisher", from the test CA
#   self.pem        "Tovarin Test Publisher", signed by itself
# Each signer file holds the certificate, then its key.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 36500 -subj "/CN=Tovarin Test Code CA" \
  -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign \
  -keyout "$work/ca.key" -out ca.pem 2>/dev/null

cat >"$work/signer.ext" <<EXT
basicConstraints=critical,CA:false
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
EXT

make_signer() {  # name subject
  openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=$2" -keyout "$work/$1.key" -out "$work/$1.csr" 2>/dev/null
  openssl x509 -req -in "$work/$1.csr" -CA ca.pem -CAkey "$work/ca.key" -CAcreateserial -days 36500 -sha256 \
    -extfile "$work/signer.ext" -out "$work/$1.crt" 2>/dev/null
  cat "$work/$1.crt" "$work/$1.key" >"$1.pem"
}
make_signer publisher "Tovarin Test Publisher"
make_signer other "Other Test Publisher"

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 36500 -subj "/CN=Tovarin Test Publisher" \
  -addext basicConstraints=critical,CA:false -addext keyUsage=critical,digitalSignature \
  -addext extendedKeyUsage=codeSigning -keyout "$work/self.key" -out "$work/self.crt" 2>/dev/null
cat "$work/self.crt" "$work/self.key" >self.pem
rm -f ca.srl
