#!/usr/bin/env bash
# Runs one Windows program under Wine in the test run's prefix (CTest's cross-compiling
# emulator). ./test.sh starts the run's Wine session (prefix, wineserver, Xvfb) once; when CTest
# is run on its own, this script starts a session for the one program and stops it after.
# Output goes through a file: Wine's background processes would inherit a pipe.
set -u
if [ "${VELT_WINE_SESSION:-0}" != 1 ]; then
  VELT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  source "$VELT_ROOT/scripts/wine-session.sh"
  trap velt_wine_stop EXIT
  velt_wine_start
fi
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
out=$(mktemp)
wine "$@" >"$out" 2>&1
rc=$?
cat "$out"
rm -f "$out"
exit $rc
