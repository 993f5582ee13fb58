#!/usr/bin/env bash
# Checks the Debian package as a user's machine meets it:
#
#   scripts/check-package.sh BUILD_DIR    (the folder cpack made it in)
#
# lintian finds no error; the package, unpacked into a throw-away root,
# holds every file it should; the programs run from there and find their
# language files (kelvosetup shows its English texts when asked, and its
# pictures); each manual page renders; the bash completion completes; and
# the installed kelvoctl doctor explains a port the user may not open, in
# one line with its fix, against the installed simulator.
set -euo pipefail

build=$1
root_dir=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
debs=("$build"/packages/kelvosetup_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "check-package: expected one kelvosetup_*.deb in $build/packages" >&2; exit 1; }
deb=${debs[0]}
work=$(mktemp -d /tmp/kelvo-package-XXXXXX)
chmod 755 "$work"
sim=
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
check() {  # check WHAT COMMAND...: runs COMMAND, counts a failure
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what" >&2; failures=$((failures + 1)); fi
}

echo "--- $(basename "$deb")"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends

check "apt would install it with what Debian has" \
  sh -c "apt-get install --simulate --no-install-recommends '$(readlink -f "$deb")' >'$work/apt.txt' 2>&1 || { cat '$work/apt.txt'; exit 1; }"

echo "--- lintian"
# As an unprivileged user where possible: lintian warns about root.
lintian_cmd=(lintian --fail-on error --display-level '>=info' "$deb")
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  cp "$deb" "$work/" && chmod 644 "$work/$(basename "$deb")"
  # From a folder that user may enter: the checkout's may be closed to it.
  lintian_cmd=(env -C "$work" HOME="$work" setpriv --reuid=65534 --regid=65534 --clear-groups
               lintian --fail-on error --display-level '>=info' "$work/$(basename "$deb")")
fi
check "lintian reports no error" "${lintian_cmd[@]}"

echo "--- files"
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sed 's|^\./|/|'
expected=(
  usr/bin/kelvosetup usr/bin/kelvoctl usr/bin/kelvo-sim usr/bin/kelvo-termlisten
  usr/share/kelvosetup/cesky.lng.xml usr/share/kelvosetup/english.lng.xml
  usr/share/applications/kelvosetup.desktop
  usr/share/icons/hicolor/scalable/apps/kelvosetup.svg
  usr/lib/udev/rules.d/60-kelvosetup-ftdi.rules
  usr/share/man/man1/kelvoctl.1.gz usr/share/man/man1/kelvo-sim.1.gz usr/share/man/man1/kelvosetup.1.gz
  usr/share/man/man1/kelvo-termlisten.1.gz
  usr/share/bash-completion/completions/kelvoctl
  usr/share/doc/kelvosetup/copyright usr/share/doc/kelvosetup/changelog.gz
)
for size in 16 24 32 48 64 128 256; do
  expected+=(usr/share/icons/hicolor/${size}x${size}/apps/kelvosetup.png)
done
missing=()
for f in "${expected[@]}"; do [ -f "$root/$f" ] || missing+=("$f"); done
check "the package holds every file (missing: ${missing[*]:-none})" test ${#missing[@]} -eq 0
check "the dependencies come from the programs' libraries" \
  sh -c "dpkg-deb --field '$deb' Depends | grep -q 'libqt6widgets6' && dpkg-deb --field '$deb' Depends | grep -q 'libxml2'"
check "the desktop entry is valid" desktop-file-validate "$root/usr/share/applications/kelvosetup.desktop"
check "the udev rule gives FTDI chips to plugdev" \
  grep -q 'ATTR{idVendor}=="0403".*GROUP="plugdev"' "$root/usr/lib/udev/rules.d/60-kelvosetup-ftdi.rules"
check "each icon PNG has its size" python3 - "$root" <<'EOF'
import struct, sys, glob
ok = True
for f in glob.glob(sys.argv[1] + "/usr/share/icons/hicolor/*x*/apps/kelvosetup.png"):
    size = int(f.split("/")[-3].split("x")[0])
    w, h = struct.unpack(">II", open(f, "rb").read()[16:24])
    ok &= (w, h) == (size, size)
sys.exit(0 if ok else 1)
EOF

echo "--- manual pages"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  check "man -l renders $name(1) without warnings" \
    sh -c "out=\$(man --warnings -l '$page' 2>&1 >/dev/null); [ -z \"\$out\" ] || { echo \"\$out\"; exit 1; }; man -l '$page' | grep -q '^NAME'"
done
bin=$root/usr/bin
commands=$("$bin/kelvoctl" --help | awk '/^Subcommands:/{on=1; next} on && /^  [a-z]/{print $1}')
undocumented=()
for c in $commands; do
  MANWIDTH=200 man -l "$root/usr/share/man/man1/kelvoctl.1.gz" | grep -q "^       $c\b" || undocumented+=("$c")
done
check "kelvoctl(1) names every command (missing: ${undocumented[*]:-none})" test ${#undocumented[@]} -eq 0

echo "--- the installed programs"
check "kelvoctl --help" sh -c "'$bin/kelvoctl' --help | grep -q doctor"
check "kelvo-sim --help" sh -c "'$bin/kelvo-sim' --help | grep -q -- --model"
check "kelvo-termlisten --help" sh -c "'$bin/kelvo-termlisten' --help | grep -q 'Ctrl+C'"
# The window's language files lie only in the data folder of the root: the
# English texts it shows come from there.
snap=$work/snapshot
check "kelvosetup shows its English texts from the data folder" sh -c "
  QT_QPA_PLATFORM=offscreen KELVO_LANGUAGE=English KELVO_SNAPSHOT='$snap' timeout 60 '$bin/kelvosetup' 2>/dev/null &&
  grep -q 'caption=\"Module search\"' '$snap/texts.lng.xml'"
check "kelvosetup draws its pictures" python3 - "$snap/window.png" <<'EOF'
# The module picture in the header: its housing colour, #e7d9d9, must show
# in the picture's place (x 10-80, y 10-100).
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
pos, idat, w, h = 8, b"", 0, 0
while pos < len(data):
    n, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + n]
    if kind == b"IHDR":
        w, h, depth, colour = struct.unpack(">IIBB", body[:10])
        assert depth == 8 and colour in (2, 6), "8-bit RGB(A) expected"
        bpp = 3 if colour == 2 else 4
    elif kind == b"IDAT":
        idat += body
    pos += 12 + n
raw, stride, rows, prev = zlib.decompress(idat), w * bpp, [], bytearray(w * bpp)
for y in range(h):
    f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a = line[i - bpp] if i >= bpp else 0
        b, c = prev[i], prev[i - bpp] if i >= bpp else 0
        p = a + b - c
        pred = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
        line[i] = (line[i] + [0, a, b, (a + b) // 2, pred][f]) & 255
    rows.append(line)
    prev = line
hits = sum(1 for y in range(10, 100) for x in range(10, 80)
           if tuple(rows[y][x * bpp:x * bpp + 3]) == (0xE7, 0xD9, 0xD9))
sys.exit(0 if hits > 500 else 1)
EOF

echo "--- bash completion"
complete_words() {  # complete_words WORD... : what completing the last word offers
  bash -c 'source /usr/share/bash-completion/bash_completion; source "$0"
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _kelvoctl kelvoctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"; echo "${COMPREPLY[*]}"' \
    "$root/usr/share/bash-completion/completions/kelvoctl" "$@"
}
got=$(complete_words kelvoctl d)
check "kelvoctl d<Tab> offers doctor (offered: $got)" test "$got" = doctor
got=$(complete_words kelvoctl measure --c)
check "kelvoctl measure --c<Tab> offers --count --csv (offered: $got)" test "$got" = "--count --csv"

echo "--- kelvoctl doctor against the installed simulator"
ports=$work/ports
mkdir -m 755 "$ports"
export KELVO_PORTS_DIR=$ports
"$bin/kelvo-sim" --model rs --port 3 --quiet >/dev/null & sim=$!
for _ in $(seq 100); do [ -L "$ports/com3" ] && break; sleep 0.1; done
check "the installed kelvoctl reads the installed simulator's module" \
  sh -c "'$bin/kelvoctl' read COM3 --speed 9600 | grep -q KelvoRS"
node=$(readlink -f "$ports/com3")
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null && getent group dialout >/dev/null; then
  # As a user without the group, the node given to dialout as a serial
  # adapter's node is.
  chgrp dialout "$node" && chmod 660 "$node"
  doctor=(setpriv --reuid=65534 --regid=65534 --clear-groups "$bin/kelvoctl" doctor)
  want="COM3: permission denied on $node (root:dialout, mode 0660) — add your user to the group dialout: sudo usermod -aG dialout nobody, then log out and in again"
else
  chmod 000 "$node"
  doctor=("$bin/kelvoctl" doctor)
  want="COM3: permission denied on $node"
fi
set +e
report=$("${doctor[@]}" 2>&1)
rc=$?
set -e
echo "$report"
check "doctor explains the missing group in one line with its fix" sh -c 'printf "%s\n" "$1" | grep -qF -- "$2"' _ "$report" "$want"
check "doctor's exit status is 1" test "$rc" -eq 1

echo "--- the DEBUG log of a program whose folder takes no files"
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  home=$work/home-nobody
  mkdir -p "$home" && chown 65534:65534 "$home"
  env HOME="$home" XDG_STATE_HOME= setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$bin/kelvoctl" --debug search --speeds 9600 >/dev/null 2>&1 || true
  check "the log goes to the user's folder (~/.local/state/kelvosetup)" \
    sh -c "ls '$home/.local/state/kelvosetup/'*.log >/dev/null 2>&1"
else
  echo "skipped: needs root and setpriv to run as a user without write access to $bin"
fi

echo "--- $failures failed"
[ "$failures" -eq 0 ]
