#!/usr/bin/env bash
# The main job: sets the machine up, builds, and replays the bundled sample
# (a real desktop, samples/desktop.png, as the adapter's stream) through the
# display loop with vidtool, printing what the decoder saw and writing the
# picture to out/desktop.png (and a half-size one to out/desktop-half.png).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
mkdir -p "$top/out"
TILESTREAM_BUILD=${BUILD_DIR:-$top/build} "$top/vidtool" replay "$top/samples/desktop.stream" \
  "$top/out/desktop.png" --size 800x600
TILESTREAM_BUILD=${BUILD_DIR:-$top/build} "$top/vidtool" replay "$top/samples/desktop.stream" \
  "$top/out/desktop-half.png" --size 800x600 --scale 0.5 >/dev/null
echo "written       $top/out/desktop-half.png (scale 0.5)"
