#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, with one "apt-get update" before the first install. Safe to run
# again: on a machine that has everything it does nothing.
#
#   scripts/install-deps.sh           everything: native, Windows, fuzzing, window, package
#   scripts/install-deps.sh --quick   only what a native build of kelvoctl and
#                                     kelvo-sim needs (the README's quick start)
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3
  googletest libgtest-dev libgmock-dev
  libxml2-dev libcli11-dev nlohmann-json3-dev
  # kelvoctl publish: the MQTT client library, and a broker, its clients and
  # openssl for the publishing tests and the README's example.
  libmosquitto-dev mosquitto mosquitto-clients openssl
)
if [ "${1:-}" != --quick ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine64 clang-14 libclang-rt-14-dev)
  # The Debian package and its checks: shlibdeps and build flags, manual
  # pages from Markdown, lintian, and what a user's machine reads it with.
  packages+=(dpkg-dev file go-md2man lintian desktop-file-utils man-db bash-completion)
  if [ "${KELVO_WITH_GUI:-1}" = 1 ]; then
    # The window: Qt Widgets with its tools (moc, rcc), SVG for the pictures,
    # the fallback fonts of the design's Windows fonts, Xvfb for screenshots.
    packages+=(qt6-base-dev qt6-base-dev-tools qt6-svg-dev fonts-liberation2 fonts-dejavu-core xvfb xauth)
  fi
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
