#!/usr/bin/env bash
# Runs a command (a Windows test under the build's wine-run) with https in front of the
# loopback http server the test itself serves on HTTPS_TEST_BACKEND_PORT. One front per
# certificate of this folder; the ports go to the test in HTTPS_TEST_PORT_<NAME>.
#
# Wine's WinINet and its code-signing checks trust only the host's CA bundle, so the command
# runs in a mount namespace of its own in which a copy of that bundle with the test CAs
# (this folder's and ../authenticode's) appended is bound over it. That
# takes root; without it the command is not run and the test counts as skipped (77).
# Usage: with_https_fronts.sh WINEPREFIX COMMAND...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bundle=/etc/ssl/certs/ca-certificates.crt
backend=28481
# name:certificate:port:further socat options. tls13_only speaks nothing older than TLS 1.3.
fronts=(good:good:28482: wrong_name:wrong_name:28483: expired:expired:28484: untrusted:untrusted:28485:
        tls13_only:good:28486:,openssl-min-proto-version=TLS1.3)

if [ -z "${HTTPS_FRONTS_NAMESPACE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! command -v socat >/dev/null; then
    echo "with_https_fronts: needs root (a private mount namespace) and socat; skipped" >&2
    exit 77
  fi
  HTTPS_FRONTS_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
fi

prefix=$1
shift
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cat "$bundle" "$here/ca.pem" "$here/../authenticode/ca.pem" >"$work/bundle.crt"
mount --bind "$work/bundle.crt" "$bundle"
# No Wine process started outside this namespace may serve the prefix.
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w 2>/dev/null || true

export HTTPS_TEST_BACKEND_PORT=$backend
for front in "${fronts[@]}"; do
  IFS=: read -r name certificate port options <<<"$front"
  socat "OPENSSL-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork,verify=0,cert=$here/$certificate.pem$options" \
    "TCP:127.0.0.1:$backend" 2>/dev/null &
  pids+=($!)
  export "HTTPS_TEST_PORT_${name^^}=$port"
done
for front in "${fronts[@]}"; do
  IFS=: read -r name certificate port options <<<"$front"
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
done

set +e
"$@"
status=$?
set -e
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w 2>/dev/null || true
exit $status
