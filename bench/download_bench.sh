#!/usr/bin/env bash
# Download benchmark: the Windows program under Wine times DownloadToFile and CAsyncDownload
# of a 256 MiB body from its loopback server, over http and, through the https front of
# tests/tls (as root), over https; then it serves the same body while curl fetches it, so
# the figures read as a ratio. Before that, it times the signer check of a 200 MiB installer
# signed with the test certificates of tests/authenticode against its SHA-256.
# Fixed ports: run it inside `unshare -n`.
# Usage: bench/download_bench.sh [PRESET]   win64 (default) or win32-test, after its build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-win64}
build="$root/build/$preset"
cmake --build --preset "$preset" --target download_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work" "$build/bench/signed200.exe"' EXIT

# A real installer with 200 MiB of data after it, as large installers carry theirs, signed.
cmake --build --preset "$preset" --target real_installers >/dev/null
cp "$build/tests/progress_dialog_test/real_installers/realapp-setup.exe" "$work/big.exe"
head -c 200M /dev/urandom >>"$work/big.exe"
osslsigncode sign -certs "$root/tests/authenticode/publisher.pem" -key "$root/tests/authenticode/publisher.pem" \
  -h sha256 -in "$work/big.exe" -out "$build/bench/signed200.exe" >/dev/null

fronts=()
[ "$(id -u)" -eq 0 ] && fronts=("$root/tests/tls/with_https_fronts.sh" "$build/wineprefix")
(cd "$build/bench" && "${fronts[@]}" "$build/wine-run" ./download_bench.exe) >"$work/bench.log" 2>&1 &
bench=$!
url=""
for _ in $(seq 1200); do
  url=$(sed -n 's/^serving //p' "$work/bench.log" | tr -d '\r')
  [ -n "$url" ] && break
  kill -0 "$bench" 2>/dev/null || break
  sleep 0.5
done
sed '/^serving /d' "$work/bench.log"
if [ -z "$url" ]; then
  echo "download_bench did not start serving" >&2
  exit 1
fi
read -r bytes seconds speed < <(curl -sS -o "$work/curl.bin" -w '%{size_download} %{time_total} %{speed_download}\n' "$url")
curl -sS -o /dev/null "${url%/body256}/done" || true
wait "$bench"
awk -v b="$bytes" -v s="$seconds" -v v="$speed" \
  'BEGIN { printf "%-16s %4d MiB  %7.1f MB/s  %6.2f s  (Linux, same kind of server)\n", "curl", b / 1048576, v / 1e6, s }'
