#!/usr/bin/env bash
# Configures (once) and builds both trees: build/win (the product, Windows tests and helpers,
# cross-compiled) and build/host (portable core with sanitizers, fuzz targets, host tools).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
JOBS=${VELT_JOBS:-2}

if [ ! -f build/win/build.ninja ]; then
  cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build/win -j"$JOBS"

if [ "${VELT_SKIP_HOST:-0}" != 1 ]; then
  if [ ! -f build/host/build.ninja ]; then
    CC=clang CXX=clang++ cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
  fi
  cmake --build build/host -j"$JOBS"
fi
