#!/usr/bin/env bash
# The one test command: installs what the build needs (only when missing),
# then builds and tests everything, and fails when any step fails.
#
#   asan  native build with AddressSanitizer + UndefinedBehaviorSanitizer,
#         every test through CTest
#   tsan  native build with ThreadSanitizer, the tests labelled "threaded"
#   nocli native build as if CLI11 were not installed: only the window, its
#         logic and the session layer with their tests, which must need
#         nothing of the command line
#   win   Windows cross-build with MinGW-w64, its tests under Wine in a
#         fresh prefix inside the build folder; the zip of the command-line
#         tools, checked under Wine (scripts/check-windows-zip.sh)
#   fuzz  each libFuzzer target for a bounded time (KELVO_FUZZ_SECONDS, 20)
#   package  the Debian package, built with Debian's hardening flags, and
#         checked as a user's machine meets it (scripts/check-package.sh)
#
# KELVO_STEPS picks steps (default: all six, in this order); KELVO_BUILD_ROOT
# moves the build folders (default: build/ in the checkout).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${KELVO_BUILD_ROOT:-$root/build}
steps=${KELVO_STEPS:-asan tsan nocli win fuzz package}
jobs=$(nproc)

"$root/scripts/install-deps.sh" || { echo "test-all: installing the build's packages failed" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export CTEST_OUTPUT_ON_FAILURE=1

# configure_and_build DIR [cmake options...] [--target NAME]...
configure_and_build() {
  local dir=$1; shift
  local opts=() target=()
  while [ $# -gt 0 ]; do
    if [ "$1" = --target ]; then target+=(--target "$2"); shift 2; else opts+=("$1"); shift; fi
  done
  cmake -S "$root" -B "$dir" -G Ninja "${opts[@]}" >/dev/null &&
    cmake --build "$dir" -j "$jobs" "${target[@]}"
}

step_asan() {
  configure_and_build "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DKELVO_SANITIZE=ON &&
    ctest --test-dir "$out/asan" -j "$jobs" --timeout 600
}

step_tsan() {
  configure_and_build "$out/tsan" -DCMAKE_BUILD_TYPE=Debug -DKELVO_TSAN=ON -DKELVO_BUILD_GUI=OFF &&
    ctest --test-dir "$out/tsan" -j "$jobs" -L threaded --timeout 900 --no-tests=error
}

step_nocli() {
  local dir=$out/nocli
  local programs=(window_tests lang_tests session_tests widget_tests)
  local targets=(--target kelvosetup)
  for p in "${programs[@]}"; do targets+=(--target "$p"); done
  configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Debug -DKELVO_WITH_CLI11=OFF "${targets[@]}" || return 1
  # Nothing on CLI11 may be in this build at all.
  if cmake --build "$dir" --target help | grep -qE '^(kelvoctl|kelvoctl_core|kelvo-sim):'; then
    echo "test-all: the nocli build has programs on CLI11" >&2
    return 1
  fi
  local labels
  labels=$(IFS='|'; echo "${programs[*]}")
  ctest --test-dir "$dir" -j "$jobs" -L "^($labels)\$" --timeout 600 --no-tests=error
}

step_win() {
  local dir=$out/win
  # The Windows tests talk to the native simulator through the prefix's
  # COM links: build it for the host first.
  configure_and_build "$out/host" -DCMAKE_BUILD_TYPE=Release -DKELVO_BUILD_GUI=OFF --target kelvo-sim || return 1
  export KELVO_SIM_PROGRAM=$out/host/sim/kelvo-sim
  configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" || return 1
  # A fresh prefix for every run: nothing from an earlier run (COM links,
  # registry) may make a test pass.
  export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all
  rm -rf "$WINEPREFIX"
  "$root/scripts/wine-run.sh" wineboot --init >/dev/null 2>&1 || true
  # The null graphics driver lets tests create (invisible) windows without a
  # display: the hidden hand-over window, the terminal stand-in.
  "$root/scripts/wine-run.sh" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
  # Wine programs cost a second or two to start; run them one at a time so
  # the serial tests do not fight over the prefix's COM links.
  ctest --test-dir "$dir" --timeout 900
  local rc=$?
  # The zip of the command-line tools, started from where it unpacks.
  if ! (cd "$dir" && rm -rf packages && cpack -G ZIP >/dev/null) || ! "$root/scripts/check-windows-zip.sh" "$dir"; then
    rc=1
  fi
  WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  return $rc
}

step_package() {
  local dir=$out/package
  local hardening=(env DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get)
  local cxx ld
  cxx="$("${hardening[@]}" CXXFLAGS) $("${hardening[@]}" CPPFLAGS)" && ld=$("${hardening[@]}" LDFLAGS) || return 1
  configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=$cxx" "-DCMAKE_EXE_LINKER_FLAGS=$ld" \
    --target kelvo_package_files || return 1
  (cd "$dir" && umask 022 && rm -rf packages && cpack -G DEB >/dev/null) &&
    "$root/scripts/check-package.sh" "$dir"
}

step_fuzz() {
  "$root/scripts/run-fuzzers.sh" "${KELVO_FUZZ_SECONDS:-20}" "$out/fuzz"
}

failed=()
for step in $steps; do
  echo "=== test-all: $step ($(date +%H:%M:%S))"
  start=$SECONDS
  if "step_$step"; then
    echo "=== test-all: $step passed in $((SECONDS - start)) s"
  else
    echo "=== test-all: $step FAILED after $((SECONDS - start)) s"
    failed+=("$step")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "=== test-all: failed steps: ${failed[*]}"
  exit 1
fi
echo "=== test-all: all steps passed"
