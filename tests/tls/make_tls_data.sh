#!/usr/bin/env bash
# Writes the https tests' certificates beside this script: a test CA, and server
# certificates for each way a host's certificate can be wrong. Keys for the tests only.
#   ca.pem          the test CA, which the tests add to the trusted bundle
#   good.pem        localhost, from the test CA
#   wrong_name.pem  another host's name, from the test CA
#   expired.pem     localhost, from the test CA, valid only in 2020
#   untrusted.pem   localhost, from a CA nobody trusts
# Each server file holds the certificate, then its key. Wine verifies a certificate by its
# DNS name only (one naming 127.0.0.1 alone is refused), so the tests serve localhost.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_ca() {  # name subject
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 36500 -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$work/$1.key" -out "$work/$1.pem" 2>/dev/null
}

# Signs a server certificate for `dns` with the CA `ca` through `openssl ca`, which alone
# takes start and end dates in the past.
make_server() {  # name ca dns startdate enddate
  local name=$1 ca=$2 dns=$3
  mkdir -p "$work/db-$name"
  : >"$work/db-$name/index.txt"
  cat >"$work/$name.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $work/db-$name/index.txt
new_certs_dir = $work/db-$name
serial = $work/db-$name/serial
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = server
[any]
commonName = supplied
[server]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:$dns
CNF
  openssl rand -hex 8 >"$work/db-$name/serial"
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$dns" -keyout "$work/$name.key" -out "$work/$name.csr" 2>/dev/null
  openssl ca -batch -config "$work/$name.cnf" -cert "$work/$ca.pem" -keyfile "$work/$ca.key" \
    -startdate "$4" -enddate "$5" -in "$work/$name.csr" -out "$work/$name.crt" -notext 2>/dev/null
  cat "$work/$name.crt" "$work/$name.key" >"$name.pem"
}

make_ca ca "Test Download CA"
make_ca stranger "Untrusted Test CA"
cp "$work/ca.pem" ca.pem
make_server good ca localhost 20240101000000Z 21240101000000Z
make_server wrong_name ca wrong.invalid 20240101000000Z 21240101000000Z
make_server expired ca localhost 20200101000000Z 20210101000000Z
make_server untrusted stranger localhost 20240101000000Z 21240101000000Z
