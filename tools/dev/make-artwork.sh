#!/usr/bin/env bash
# Regenerates Sentrel's pictures (utility/forms/art) from code: builds the
# QPainter program tools/artwork/make_artwork.cpp and runs it offscreen.
# Commit the changed files; the build loads them through forms/artwork.qrc.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build --preset host --target sentrel_artwork
QT_QPA_PLATFORM=offscreen build/host/bin/sentrel_artwork utility/forms/art
