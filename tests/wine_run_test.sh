#!/usr/bin/env bash
# wine-run in a prefix whose server it has to start: the server it starts, and Wine's services
# that start with it, must not keep the program's standard output and error. Those live as
# long as the prefix is in use; a test runner reading the output of a test that happened to
# start the server would wait for the whole prefix to fall idle.
#   wine_run_test.sh WINE_RUN PREFIX
set -euo pipefail
wine_run=$1
export WINE_RUN_PREFIX=$2
wineserver=/usr/lib/wine/wineserver
out=$(mktemp)
runner=""
trap '[ -z "$runner" ] || wait "$runner" 2>/dev/null || true; rm -f "$out"' EXIT

# The prefix exists and its server has ended, so the run below starts a fresh one.
"$wine_run" cmd /c exit 0 >/dev/null 2>&1
WINEPREFIX=$WINE_RUN_PREFIX "$wineserver" -w

# A program that lives twenty seconds, its output going to a file every holder can be seen by:
# long enough to be seen three times beside the services while other tests load the machine.
"$wine_run" cmd /c "ping -n 21 127.0.0.1 >nul" >"$out" 2>&1 &
runner=$!

# The processes of this prefix: Wine puts WINEPREFIX in each one's environment. One grep for
# every process: two programs per process made a look take seconds on a busy machine, longer
# than the program below lives.
prefix_processes() {
  grep -lzxF "WINEPREFIX=$WINE_RUN_PREFIX" /proc/[0-9]*/environ 2>/dev/null | sed -E 's#^/proc/([0-9]+)/environ$#\1#'
}

holds_output() { local fd; for fd in 0 1 2; do [ "$(readlink "/proc/$1/fd/$fd" 2>/dev/null)" = "$out" ] && return 0; done; return 1; }

command_line() { tr '\0' ' ' 2>/dev/null <"/proc/$1/cmdline" | sed 's/ *$//'; }

# The program (cmd and the ping it starts) and the loader's start.exe hold the output;
# nothing else may.
is_the_program() { command_line "$1" | grep -qiE '^(start\.exe /exec cmd|[^ ]*cmd\.exe /c ping|ping -n)'; }

running() { local pid; for pid in $(prefix_processes); do command_line "$pid" | grep -qiE "$1" && return 0; done; return 1; }

# Looked at once the services run beside the program, and twice more a moment later.
seen=0
for _ in $(seq 150); do
  if running 'services\.exe' && running '^ping -n'; then seen=$((seen + 1)); fi
  if [ "$seen" -ge 1 ]; then
    for pid in $(prefix_processes); do
      if holds_output "$pid" && ! is_the_program "$pid"; then
        echo "FAIL: $(command_line "$pid") keeps the program's output open"
        exit 1
      fi
    done
    [ "$seen" -ge 3 ] && break
  fi
  sleep 0.2
done
[ "$seen" -ge 3 ] || { echo "FAIL: the program and Wine's services were not seen running"; exit 1; }
wait "$runner" || { echo "FAIL: wine-run exited with $?"; runner=""; exit 1; }
runner=""
echo "PASS: only the program held its output"
