#!/usr/bin/env bash
# The window against simulated modules, for a first look without hardware:
# installs what the build needs (only when missing), builds the window and
# the simulators, and starts kelvosetup with
#   - a KelvoRS on COM1 at 9600 bit/s (found with the speeds ticked at start),
#   - a KelvoRS on COM2 at 19200 bit/s (found once 19200 is ticked in the
#     search settings),
#   - a KelvoUSB on the simulated FTDI driver, at 115200 bit/s,
# each with live values that move; channel 2 of the first module swings into
# overrange now and then. Closing the window stops the simulators and
# removes their links. Extra arguments go to kelvosetup (e.g. DEBUG, DST).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVO_DEMO_BUILD:-$root/build/demo}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target kelvosetup kelvo-sim kelvo_ftd2xx_sim

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: no display (DISPLAY is not set); run this from a desktop session" >&2
  exit 1
fi

ports=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-demo-XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$ports"
}
trap cleanup EXIT INT TERM
export KELVO_PORTS_DIR=$ports
export KELVO_FTD2XX=$build/sim/libkelvo-ftd2xx-sim.so

sim=$build/sim/kelvo-sim
"$sim" -q --model rs --speed 9600 --port 1 --serial 1207 --user-data "Kotelna 2" \
  --channel "2:swing=6000,period=15000" >/dev/null &
pids+=($!)
"$sim" -q --model rs --speed 19200 --port 2 --serial 1208 --user-data "Kotelna 3" >/dev/null &
pids+=($!)
printf 'model=usb\nspeed=115200\nserial=815\nuser=Linka 7\n' >"$ports/usb-FT4KLV01"
for n in 1 2; do
  for _ in $(seq 50); do [ -e "$ports/com$n" ] && break; sleep 0.1; done
done

echo "demo: COM1 KelvoRS 9600 bit/s, COM2 KelvoRS 19200 bit/s, USB FT4KLV01 KelvoUSB; press \"Hledat\""
"$build/app/kelvosetup" "$@"
