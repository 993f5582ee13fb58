#!/usr/bin/env bash
# Runs one Windows program of the cross-build under Wine. CTest calls it as
# the emulator of every test; the prefix comes from the environment (the
# test script makes a fresh one inside the build folder).
set -e
export WINEDEBUG=${WINEDEBUG:--all}
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-run.sh: WINEPREFIX is not set" >&2
  exit 2
fi
# Debian's wine64 package puts its loader outside PATH.
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
exec "$wine" "$@"
