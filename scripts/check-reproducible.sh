#!/usr/bin/env bash
# Builds the stub a second time from a copy of the sources in another folder and compares it
# byte for byte with build/win's: a release must be reproducible from its commit wherever it is
# built. Reuses the fetched third-party sources and builds only the stub target.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
JOBS=${VELT_JOBS:-2}
STUB=build/win/bin/VeltappBootstrap.exe
[ -f "$STUB" ] || { echo "reproducible: $STUB is missing, build first"; exit 1; }

start=$(date +%s)
other=$(mktemp -d "$ROOT/build/repro.XXXXXX")
trap 'rm -rf "$other"' EXIT
# The files of the checkout (committed or not, but not what .gitignore leaves out).
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$other"
cmake -S "$other" -B "$other/out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$other/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DVELT_THIRD_PARTY_SRC="$ROOT/third_party/src" >/dev/null
cmake --build "$other/out" -j"$JOBS" --target VeltappBootstrap >"$other/build.log" 2>&1 \
  || { tail -30 "$other/build.log"; exit 1; }
seconds=$(( $(date +%s) - start ))
if cmp -s "$STUB" "$other/out/bin/VeltappBootstrap.exe"; then
  echo "reproducible: the stub built in another folder is byte-identical ($(stat -c %s "$STUB") bytes, ${seconds} s)"
else
  echo "reproducible: the stub built in another folder differs (${seconds} s):"
  cmp -l "$STUB" "$other/out/bin/VeltappBootstrap.exe" | head -20
  exit 1
fi
