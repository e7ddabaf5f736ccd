#!/usr/bin/env bash
# Remakes the bundled sample from a real desktop: an X server without a
# screen (Xvfb) with a window manager, a terminal and two applications,
# captured with ImageMagick's import into samples/desktop.png, and that
# picture encoded by vidtool into samples/desktop.stream.
#
#   tools/make_desktop_sample.sh [WIDTHxHEIGHT]     (default 800x600)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-800x600}
need=(xvfb twm xterm x11-apps x11-utils x11-xserver-utils imagemagick fonts-dejavu-core python3-pil python3-tqdm)
missing=()
for pkg in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

display=:$((90 + RANDOM % 500))
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
Xvfb "$display" -screen 0 "${size}x24" -nolisten tcp &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done 2>/dev/null || sleep 2
xsetroot -solid '#2e5a7a' 2>/dev/null || true
twm &
pids+=($!)
sleep 0.5
xterm -geometry 78x24+20+30 -fa Monospace -fs 9 -bg '#101010' -fg '#d0d0d0' -T 'xterm' \
  -e bash -c 'cd /; echo "$ uname -sm"; uname -sm; echo "$ ls /usr"; ls --color=always /usr;
              echo "$ df -h /"; df -h / | cut -c1-60; echo "$ date"; date -u; sleep 600' &
pids+=($!)
xclock -geometry 170x170+600+30 -update 1 &
pids+=($!)
xcalc -geometry +560+260 &
pids+=($!)
sleep 3
mkdir -p "$top/samples"
import -window root "$top/samples/desktop.png"
"$top/vidtool" encode "$top/samples/desktop.png" "$top/samples/desktop.stream"
ls -l "$top/samples/desktop.png" "$top/samples/desktop.stream"
