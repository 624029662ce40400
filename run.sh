#!/usr/bin/env bash
# The product's main job: builds the bootstrap, stamps it with metadata and runs it under Wine.
#   1. a stub whose metadata is shown with -showmetadata (the dump goes to the log, the window
#      closes by itself);
#   2. a stub whose metadata is not JSON: the window shows the abort text with code 3 until it
#      is closed (here after a screenshot, build/run/window.png).
# Prints the log lines of the run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")" && pwd)
cd "$ROOT"

scripts/install-deps.sh
VELT_SKIP_HOST=0 scripts/build.sh >/dev/null

source scripts/wine-session.sh
trap velt_wine_stop EXIT
velt_wine_start

OUT=$ROOT/build/run
rm -rf "$OUT"; mkdir -p "$OUT"
LOG="$VELT_WINE_TEMP/VeltappBootstrap.log"
start=$( [ -f "$LOG" ] && stat -c %s "$LOG" || echo 0)

printf '{\n\t"updateXmlUrl": "http://127.0.0.1:8080/utility/kestrel/update.xml",\n\t"kestrelLauncherArguments": "-postPurchase"\n}' >"$OUT/metadata.json"
build/host/bin/veltstamp build/win/bin/VeltappBootstrap.exe "$OUT/VeltappBootstrap.exe" --json-file "$OUT/metadata.json"
echo "== -showmetadata"
wine "$OUT/VeltappBootstrap.exe" -showmetadata >"$OUT/wine-1.out" 2>&1 && echo "exit code 0"

echo "== metadata that is not JSON"
build/host/bin/veltstamp build/win/bin/VeltappBootstrap.exe "$OUT/Broken.exe" --json 'not { json'
wine "$OUT/Broken.exe" >"$OUT/wine-2.out" 2>&1 &
pid=$!
probe() { wine build/win/bin/winprobe.exe "$(winepath -w "$OUT/probe.json")" "$@" >/dev/null 2>&1; cat "$OUT/probe.json"; }
for _ in $(seq 60); do
  probe state | grep -q 'Aborted' && break
  sleep 0.5
done
probe state
if [ -z "${VELT_USER_DISPLAY:-}" ]; then
  import -display "$DISPLAY" -window root "$OUT/window.png" && echo "screenshot: $OUT/window.png"
fi
probe close >/dev/null
wait $pid && echo "exit code 0 after the window was closed"

echo "== log ($LOG)"
tail -c +"$((start + 1))" "$LOG" | tr -d '\r'
