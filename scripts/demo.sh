#!/usr/bin/env bash
# The main job: sets the machine up, builds, decodes the bundled sample stream
# with the frame module, prints the decoder's statistics and writes the frame
# to out/frame.png.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
PYTHONPATH="$build/python3" /usr/bin/python3 "$top/tools/demo.py" \
  "$top/samples/desktop.stream" --size 1024x768 --out "$top/out/frame.png"
