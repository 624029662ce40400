#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: native tests (sanitized),
# fuzz targets for a bounded time, Windows tests under Wine, end-to-end tests under Wine + Xvfb.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")" && pwd)
cd "$ROOT"

scripts/install-deps.sh
scripts/build.sh

echo "== native tests"
ctest --test-dir build/host --output-on-failure -L native

echo "== fuzzing (bounded)"
FUZZ_SECONDS=${VELT_FUZZ_SECONDS:-20}
for f in build/host/bin/fuzz_*; do
  [ -x "$f" ] || continue
  corpus=build/fuzz-corpus/$(basename "$f")
  mkdir -p "$corpus"
  "$f" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 "$corpus" >"build/$(basename "$f").log" 2>&1 \
    || { tail -40 "build/$(basename "$f").log"; exit 1; }
  echo "$(basename "$f"): $(grep -Eo 'Done [0-9]+ runs' "build/$(basename "$f").log" | tail -1)"
done

source scripts/wine-session.sh
trap velt_wine_stop EXIT
velt_wine_start

echo "== Windows tests under Wine, and the stub's size"
ctest --test-dir build/win --output-on-failure -L 'wine|size'

echo "== end-to-end tests"
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@"
