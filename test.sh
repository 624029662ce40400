#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: native tests (sanitized),
# fuzz targets for a bounded time, Windows tests under Wine, end-to-end tests under Wine + Xvfb.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")" && pwd)
cd "$ROOT"

scripts/install-deps.sh
scripts/build.sh

echo "== reproducible build"
scripts/check-reproducible.sh

echo "== native tests"
ctest --test-dir build/host --output-on-failure -L native

echo "== fuzzing (bounded)"
# Each target starts from its committed seeds (tests/fuzz/seeds, read only) and keeps what it
# finds in build/fuzz-corpus; the figure printed is libFuzzer's final edge coverage.
FUZZ_SECONDS=${VELT_FUZZ_SECONDS:-20}
fuzz_seeds() {
  case "$1" in
    fuzz_metadata_reader|fuzz_stamp_metadata) echo tests/fuzz/seeds/pe ;;
    fuzz_manifest_reader) echo tests/fuzz/seeds/manifest ;;
    fuzz_proxy_list) echo tests/fuzz/seeds/proxy_list ;;
    fuzz_resume_headers) echo tests/fuzz/seeds/http_headers ;;
  esac
}
for f in build/host/bin/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  seeds=$(fuzz_seeds "$name")
  [ -n "$seeds" ] && [ -d "$seeds" ] || { echo "$name: no seed corpus in tests/fuzz/seeds"; exit 1; }
  corpus=build/fuzz-corpus/$name
  mkdir -p "$corpus" build/fuzz-artifacts
  # Crash and slow-input files go under build/, not into the checkout.
  "$f" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -artifact_prefix="build/fuzz-artifacts/$name-" "$corpus" "$seeds" >"build/$name.log" 2>&1 \
    || { tail -40 "build/$name.log"; exit 1; }
  echo "$name: $(grep -Eo 'cov: [0-9]+' "build/$name.log" | tail -1), $(grep -Eo 'Done [0-9]+ runs' "build/$name.log" | tail -1)"
done

source scripts/wine-session.sh
trap velt_wine_stop EXIT
velt_wine_start

echo "== Windows tests under Wine, and the stub's size"
ctest --test-dir build/win --output-on-failure -L 'wine|size'

echo "== end-to-end tests"
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@"
