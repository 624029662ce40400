#!/usr/bin/env bash
# Runs one Windows program under Wine in the test run's prefix (CTest's cross-compiling
# emulator). Output goes through a file: Wine's background processes would inherit a pipe.
set -u
: "${WINEPREFIX:?run through ./test.sh or scripts/wine-session.sh}"
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
out=$(mktemp)
wine "$@" >"$out" 2>&1
rc=$?
cat "$out"
rm -f "$out"
exit $rc
