#!/usr/bin/env bash
# Writes the signing test data in this folder with Debian's openssl: key pairs for the tests
# only (their private halves are public here), a signed sample and the key files that the
# build's key check has to refuse. Run by hand; its output is committed.
set -euo pipefail
cd "$(dirname "$0")"

note='For the tests only: the private half of this key is committed in tests/signing. Never sign anything real with it.'

# A P-256 key pair: NAME.pem (private) and NAME.pub.pem (public, as openssl ec -pubout writes it),
# each behind a line that says what it is for.
key_pair() {
  local name=$1 private public
  private=$(openssl ecparam -name prime256v1 -genkey -noout)
  public=$(openssl ec -pubout 2>/dev/null <<<"$private")
  printf '%s\n%s\n' "$note" "$private" >"$name.pem"
  printf '%s\n%s\n' "$note" "$public" >"$name.pub.pem"
}

mkdir -p keys refused signed
key_pair keys/test_publisher
key_pair keys/other_publisher

# The bytes signed: a small catalogue, as a publisher would sign AppLib.xml.
cat >signed/catalogue.xml <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><array><dict><key>name</key><string>Tools</string><key>icon</key><string>tools.png</string>
<key>applications</key><array/></dict></array></plist>
XML
openssl dgst -sha256 -sign keys/test_publisher.pem -out signed/catalogue.xml.sig signed/catalogue.xml
openssl dgst -sha256 -sign keys/other_publisher.pem -out signed/catalogue.xml.other-key.sig signed/catalogue.xml
openssl dgst -sha256 -verify keys/test_publisher.pub.pem -signature signed/catalogue.xml.sig signed/catalogue.xml

# Seeds for the DER reader's fuzz target: openssl's signatures and the smallest DER signature.
mkdir -p der-seeds
cp signed/catalogue.xml.sig signed/catalogue.xml.other-key.sig der-seeds/
printf '\x30\x06\x02\x01\x01\x02\x01\x01' >der-seeds/smallest.sig

# Key files that are no P-256 public key in the form the build takes.
openssl ecparam -name secp384r1 -genkey -noout | openssl ec -pubout -out refused/p384.pub.pem 2>/dev/null
openssl ecparam -name prime256v1 -genkey -noout |
  openssl ec -pubout -conv_form compressed -out refused/compressed.pub.pem 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 2>/dev/null | openssl pkey -pubout -out refused/rsa.pub.pem
openssl ecparam -name prime256v1 -genkey -noout -out refused/private.pem

# Catalogues the keyed refresh downloads from the win64 preset's catalogue server: one whose
# every program carries a hash, one where a program has none, and one where a program starts
# another file than it downloads. All signed by the test key.
mkdir -p refresh
server=http://127.0.0.1:28471
hash=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
program() {
  printf '<dict><key>name</key><string>%s</string><key>url</key><string>http://dl.example.com/%s.exe</string>' "$1" "$1"
  printf '<key>icon</key><string>%s/p/%s.png</string>%s</dict>' "$server" "$1" "$2"
}
catalogue() {
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><array><dict><key>name</key><string>Tools</string>'
  printf '<key>icon</key><string>%s/g/signed-tools.png</string><key>applications</key><array>%s</array></dict></array></plist>\n' \
    "$server" "$1"
}
catalogue "$(program signed-a "<key>sha256</key><string>$hash</string>")$(program signed-b "<key>sha256</key><string>$hash</string>")" \
  >refresh/AppLib.xml
catalogue "$(program signed-a "<key>sha256</key><string>$hash</string>")$(program signed-b '')" >refresh/no-sha256.xml
catalogue "$(program signed-a "<key>sha256</key><string>$hash</string><key>install</key><string>my setup.exe /S</string>")" \
  >refresh/starts-another.xml
for file in refresh/AppLib.xml refresh/no-sha256.xml refresh/starts-another.xml; do
  openssl dgst -sha256 -sign keys/test_publisher.pem -out "$file.sig" "$file"
done
openssl dgst -sha256 -sign keys/other_publisher.pem -out refresh/AppLib.xml.other-key.sig refresh/AppLib.xml

# An update description announcing a newer version, as the update server serves it.
mkdir -p update
printf '[Update]\r\nVersion=9.9\r\nInfo=Signed by the publisher\r\n' >update/pelmarup.txt
openssl dgst -sha256 -sign keys/test_publisher.pem -out update/pelmarup.txt.sig update/pelmarup.txt
openssl dgst -sha256 -sign keys/other_publisher.pem -out update/pelmarup.txt.other-key.sig update/pelmarup.txt
