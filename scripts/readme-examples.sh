#!/usr/bin/env bash
# Runs the README's examples exactly as printed, against the simulator, as a
# newcomer would: a fresh home folder, the simulator's block in the
# background (the README's "first terminal"), then each example block in
# order (the "second terminal"), every command required to succeed.
#
#   scripts/readme-examples.sh BUILD_DIR   the examples against a build folder
#                                          that has kelvoctl, kelvo-sim and the
#                                          simulated D2XX library (CTest runs this)
#   scripts/readme-examples.sh --fresh     from a fresh clone of this checkout's
#                                          HEAD: the README's build blocks first,
#                                          then the examples
#
# The blocks are the ```sh fences that follow a line
# "<!-- readme-example: KIND -->" in README.md; KIND is build, simulator or
# commands. In BUILD_DIR mode the build blocks are not run, only checked to
# name targets that exist.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
readme=$root/README.md

# The blocks of one kind, each ended by a line "#--- end of block".
blocks() {
  awk -v kind="$1" '
    $0 ~ "^<!-- readme-example: " kind " -->$" { want = 1; next }
    want && /^```sh$/ { inblock = 1; want = 0; next }
    inblock && /^```$/ { inblock = 0; print "#--- end of block"; next }
    inblock { print }
  ' "$readme"
}

fail() {
  echo "readme-examples: $*" >&2
  exit 1
}

fresh=0
if [ "${1:-}" = --fresh ]; then
  fresh=1
elif [ $# -eq 1 ] && [ -d "$1" ]; then
  build=$(cd "$1" && pwd)
else
  echo "usage: $0 BUILD_DIR | --fresh" >&2
  exit 2
fi

[ -n "$(blocks simulator)" ] || fail "README.md has no simulator example"
[ -n "$(blocks commands)" ] || fail "README.md has no command examples"

work=$(mktemp -d /tmp/readme-examples-XXXXXX)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -INT -- "-$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A new terminal: a home of its own, nothing of ours exported.
mkdir -p "$work/home"
run_env=(env -i "HOME=$work/home" "PATH=/usr/local/bin:/usr/bin:/bin" "TERM=dumb" "LANG=C.UTF-8")

if [ $fresh = 1 ]; then
  git clone -q "$root" "$work/checkout"
  cd "$work/checkout"
  echo "=== readme-examples: build blocks"
  "${run_env[@]}" bash -euo pipefail -c "$(blocks build)" || fail "a build block failed"
else
  mkdir -p "$work/checkout/build"
  ln -s "$build" "$work/checkout/build/dev"
  cd "$work/checkout"
  # What the build blocks name must exist.
  for target in $(blocks build | grep -o -- '--target [^#]*' | sed 's/--target//'); do
    ninja -C "$build" -t query "$target" >/dev/null 2>&1 || fail "the README builds a target that does not exist: $target"
  done
fi

echo "=== readme-examples: simulator, in the background"
blocks simulator | sed 's/^/  | /'
# A job of its own process group, so that Ctrl+C reaches the simulator.
set -m
"${run_env[@]}" bash -euo pipefail -c "$(blocks simulator)" >"$work/simulator.log" 2>&1 &
sim_pid=$!
set +m
for _ in $(seq 100); do
  ls "$work/home"/.kelvo-ports/com* >/dev/null 2>&1 && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/simulator.log" >&2; fail "the simulator did not start"; }
  sleep 0.1
done
ls "$work/home"/.kelvo-ports/com* >/dev/null 2>&1 || fail "the simulator linked no COM port"

echo "=== readme-examples: the examples, in order"
# Each command echoed as the shell runs it; the first that fails ends the run.
if ! "${run_env[@]}" bash -euo pipefail -x -c "$(blocks commands)"; then
  echo "--- simulator output" >&2
  tail -n 30 "$work/simulator.log" >&2
  fail "an example failed"
fi
echo "=== readme-examples: all examples ran as printed"
