#!/usr/bin/env bash
# Installs everything the build, the tests and the demo run need on Debian 12.
# Idempotent: every step checks first, so a second run takes a few seconds.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

PACKAGES=(
  build-essential cmake ninja-build pkg-config dpkg-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  clang libclang-rt-14-dev
  googletest libgtest-dev libtinyxml2-dev libjsoncpp-dev
  wine wine64 wine32:i386
  xvfb xauth imagemagick xdotool x11-utils
  squid openssl libssl-dev osslsigncode curl
  python3 python3-pytest
  locales fonts-wqy-microhei fonts-wine
)

missing=()
need_i386=0
for p in "${PACKAGES[@]}"; do
  if ! dpkg -s "$p" >/dev/null 2>&1; then
    missing+=("$p")
    [[ "$p" == *:i386 ]] && need_i386=1
  fi
done

updated=0
apt_update() { if [ $updated -eq 0 ]; then $SUDO apt-get update -qq; updated=1; fi; }

if [ $need_i386 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi

# Source entries: the cross build compiles tinyxml2 and JsonCpp from Debian's own sources.
# The entry is derived from the machine's existing binary entry, so no mirror is named here.
SRC_LIST=/etc/apt/sources.list.d/veltrane-deb-src.sources
if [ ! -f "$SRC_LIST" ]; then
  base=""
  for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -q '^Types:.*deb' "$f" && grep -qi 'debian' "$f" && { base=$f; break; }
  done
  if [ -n "$base" ]; then
    sed -e 's/^Types:.*/Types: deb-src/' "$base" | $SUDO tee "$SRC_LIST" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' | $SUDO tee /etc/apt/sources.list.d/veltrane-deb-src.list >/dev/null
    SRC_LIST=/etc/apt/sources.list.d/veltrane-deb-src.list
  fi
  updated=0
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  apt_update
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Locales for the UI-language tests: Wine follows LANG only for generated locales.
LOCALES=(en_US de_DE fr_FR ja_JP pt_PT pt_BR es_ES en_GB ru_RU zh_CN zh_TW ko_KR cs_CZ hu_HU it_IT pl_PL)
have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z' | sed 's/utf-8/utf8/')
gen=0
for l in "${LOCALES[@]}"; do
  lc=$(echo "$l.utf8" | tr 'A-Z' 'a-z')
  if ! grep -qx "$lc" <<<"$have"; then
    $SUDO sed -i -e "s/^# *\($l\.UTF-8 UTF-8\)/\1/" /etc/locale.gen
    grep -q "^$l.UTF-8 UTF-8" /etc/locale.gen || echo "$l.UTF-8 UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
    gen=1
  fi
done
if [ $gen -eq 1 ]; then $SUDO locale-gen >/dev/null; fi

# Debian's sources of the two libraries the Windows build needs.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SRC_DIR="$ROOT/third_party/src"
mkdir -p "$SRC_DIR"
fetch_src() {  # package, directory glob
  if ! ls -d "$SRC_DIR"/$2 >/dev/null 2>&1; then
    apt_update
    (cd "$SRC_DIR" && apt-get source -qq "$1" >/dev/null)
  fi
}
fetch_src tinyxml2 'tinyxml2-9.0.0*'
fetch_src libjsoncpp 'libjsoncpp-1.9.5'
echo "install-deps: ready"
