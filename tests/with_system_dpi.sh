#!/usr/bin/env bash
# Runs a program under wine-run in a prefix of its own whose system DPI is DPI: Wine reads it
# from LogPixels under HKCU\Control Panel\Desktop when each process starts.
#   with_system_dpi.sh DPI WINE_RUN PREFIX PROGRAM [ARGUMENTS...]
set -euo pipefail
dpi=$1 wine_run=$2
export WINE_RUN_PREFIX=$3
shift 3
# The first run also starts Wine's services, which keep its output: it goes nowhere.
"$wine_run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
exec "$wine_run" "$@"
