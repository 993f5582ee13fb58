#!/usr/bin/env bash
# Screenshots of the window for the README: builds the window in build/dev,
# starts a virtual X display (Xvfb) and photographs each page of the real
# window there into docs/screenshots/.
#
#   scripts/screenshots.sh [output folder]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/screenshots}
build=${KELVO_SCREENSHOT_BUILD:-$root/build/dev}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j 2 --target kelvosetup kelvo-screenshots

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.1
done

mkdir -p "$out"
# A sanitizer build counts the X and D-Bus libraries' caches as leaks.
ASAN_OPTIONS=detect_leaks=0 DISPLAY=$display QT_QPA_PLATFORM=xcb KELVO_LANGUAGE_DIR="$build/app" \
  "$build/tools/kelvo-screenshots" "$out"
