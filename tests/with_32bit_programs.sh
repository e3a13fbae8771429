#!/usr/bin/env bash
# Runs the command, or answers 77 (skipped) on a machine that cannot start 32-bit programs:
# Wine starts every i686 program, NSIS installers among them, through its 32-bit loader, and
# a kernel without 32-bit support refuses that loader whatever it is asked to run.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "this machine cannot start 32-bit programs (/usr/lib/wine/wine does not run)"
  exit 77
fi
exec "$@"
