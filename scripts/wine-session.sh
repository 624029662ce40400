# Sourced by test.sh and run.sh: one Wine prefix inside the build tree, one Xvfb display and one
# persistent wineserver for the whole run, all stopped by their own process ids on exit.
# Exports WINEPREFIX, DISPLAY, WINEDEBUG, WINEDLLOVERRIDES and VELT_WINE_SESSION=1.

VELT_ROOT=${VELT_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX=${WINEPREFIX:-$VELT_ROOT/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

_velt_xvfb_pid=""
_velt_wineserver_pid=""

velt_wine_stop() {
  if [ -n "$_velt_wineserver_pid" ]; then
    # -k asks this prefix's server (and only it) to end its processes and itself.
    wineserver -k >/dev/null 2>&1 || true
    kill "$_velt_wineserver_pid" 2>/dev/null || true
    _velt_wineserver_pid=""
  fi
  if [ -n "$_velt_xvfb_pid" ]; then
    kill "$_velt_xvfb_pid" 2>/dev/null || true
    wait "$_velt_xvfb_pid" 2>/dev/null || true
    _velt_xvfb_pid=""
  fi
}

velt_wine_start() {
  local use_display=${1:-xvfb}
  if [ "$use_display" = "user" ] && [ -n "${DISPLAY:-}" ]; then
    :
  else
    local n
    for n in $(seq 90 120); do
      [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
    done
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    _velt_xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineserver -p -f >/dev/null 2>&1 &
  _velt_wineserver_pid=$!
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-session: creating the Wine prefix (about 30 s)"
  fi
  wineboot -i >/dev/null 2>&1 || true
  # Prefix settings of the project's own, applied once per prefix.
  local stamp="$WINEPREFIX/.velt-prefix-settings"
  # The fonts the window uses: CJK text, and Marlett (fonts-wine), which draws the caption
  # buttons (without it the close button shows the letter "r"). Copied into the prefix's own
  # font folder whenever one is missing there, so an older prefix gets them too.
  local font
  for font in /usr/share/fonts/truetype/wqy/wqy-microhei.ttc /usr/share/wine/fonts/marlett.ttf; do
    if [ -f "$font" ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/$(basename "$font")" ]; then
      cp "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
  done
  if ! cmp -s "$VELT_ROOT/scripts/wine-prefix.reg" "$stamp" 2>/dev/null; then
    wine regedit /S "$(winepath -w "$VELT_ROOT/scripts/wine-prefix.reg")" >/dev/null 2>&1 || true
    cp "$VELT_ROOT/scripts/wine-prefix.reg" "$stamp"
  fi
  export VELT_WINE_SESSION=1
  export VELT_WINE_TEMP
  local tmpf
  tmpf=$(mktemp)
  wine cmd /c echo %TEMP% >"$tmpf" 2>/dev/null
  VELT_WINE_TEMP=$(winepath -u "$(tr -d '\r\n' <"$tmpf")" 2>/dev/null)
  rm -f "$tmpf"
}
