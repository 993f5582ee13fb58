#!/usr/bin/env bash
# Checks the Windows zip of the command-line tools as a Windows machine
# meets it:
#
#   scripts/check-windows-zip.sh BUILD_DIR    (the cross build cpack made it in)
#
# It holds the programs, the README and the licences; unpacked into a
# folder of its own, each program starts under Wine from there alone (no
# WINEPATH, no build folder in reach), so a DLL the zip lacks fails the
# start. The DLLs each program imports are listed: only Windows' own.
set -euo pipefail

build=$1
root_dir=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
zips=("$build"/packages/kelvosetup-*-win64.zip)
[ ${#zips[@]} -eq 1 ] || { echo "check-windows-zip: expected one kelvosetup-*-win64.zip in $build/packages" >&2; exit 1; }
work=$(mktemp -d /tmp/kelvo-winzip-XXXXXX)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "${zips[0]}")
folders=("$work"/kelvosetup-*-win64)
folder=${folders[0]}
echo "--- $(basename "${zips[0]}")"
(cd "$folder" && find . -type f | sort)

failures=0
for f in kelvoctl.exe README.md licences/gcc-runtime.txt licences/mingw-w64.txt licences/CLI11.txt \
         licences/nlohmann-json.txt; do
  [ -f "$folder/$f" ] || { echo "FAIL the zip lacks $f" >&2; failures=$((failures + 1)); }
done
for exe in "$folder"/*.exe; do
  name=$(basename "$exe")
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/{print $3}' | sort -u | tr '\n' ' ')
  echo "$name imports: $dlls"
  # MinGW's own runtime DLLs would have to travel along; the programs are
  # linked without them.
  if grep -qiE '(^| )lib[^ ]*\.dll' <<<"$dlls"; then
    echo "FAIL $name needs a MinGW runtime DLL: $dlls" >&2
    failures=$((failures + 1))
  fi
  if (cd "$folder" && env -u WINEPATH -u WINEDLLPATH "$root_dir/scripts/wine-run.sh" "./$name" --help) \
       >"$work/help.txt" 2>&1 && grep -q "Usage:" "$work/help.txt"; then
    echo "ok   $name --help starts from the unpacked folder"
  else
    echo "FAIL $name --help from the unpacked folder:" >&2
    cat "$work/help.txt" >&2
    failures=$((failures + 1))
  fi
done
echo "--- $failures failed"
[ "$failures" -eq 0 ]
