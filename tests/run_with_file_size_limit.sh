#!/usr/bin/env bash
# Runs a Windows test program with a file size limit, so a write that crosses it comes back
# short, as on a full disk. Usage: run_with_file_size_limit.sh KIB WINE_RUN PROGRAM [ARGS...]
# The limit is told to the program in DOWNLOAD_TEST_FILE_SIZE_LIMIT (bytes).
set -euo pipefail
limit_kib=$1 wine_run=$2
shift 2
# Prepare the Wine prefix without the limit: setting it up writes files far larger.
"$wine_run" cmd /c exit
export DOWNLOAD_TEST_FILE_SIZE_LIMIT=$((limit_kib * 1024))
# Past the limit the kernel sends SIGXFSZ, which would end the program instead of failing
# the write. A Wine server started from here inherits the limit; its registry files stay
# far below it.
trap '' XFSZ
ulimit -f "$limit_kib"
exec "$wine_run" "$@"
