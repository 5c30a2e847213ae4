#!/usr/bin/env bash
# Installs a build into a temporary prefix as a packager would, checks that the program, its
# desktop entry and its icons land where desktops look, starts the installed program offscreen
# against a sample installation, and builds the Debian package and checks what it holds and
# what it asks for.
# usage: tests/e2e/install_test.sh BUILD_DIR
set -uo pipefail
build=$(cd "${1:?usage: install_test.sh BUILD_DIR}" && pwd)
tmp=$(mktemp -d /tmp/halvex-install.XXXXXX)
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
problems=0
fail() { echo "install: $*"; problems=$((problems + 1)); }

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install failed"; exit 1; }

# ---- the files ---------------------------------------------------------------------------------
[ -x "$prefix/bin/halvex" ] || fail "bin/halvex is missing or not executable"
[ -x "$prefix/bin/halvex-move" ] || fail "bin/halvex-move (the command line) is missing"
desktop=$prefix/share/applications/halvex.desktop
if [ -f "$desktop" ]; then
  grep -qx 'Exec=halvex' "$desktop" || fail "the desktop entry does not start halvex"
  grep -qx 'Icon=halvex' "$desktop" || fail "the desktop entry does not name the icon"
  grep -qx 'Type=Application' "$desktop" || fail "the desktop entry is not an application"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "the desktop entry does not validate"
  fi
else
  fail "share/applications/halvex.desktop is missing"
fi
icons=0
for icon in "$prefix"/share/icons/hicolor/*/apps/halvex.png; do
  [ -f "$icon" ] || continue
  icons=$((icons + 1))
  size=$(basename "$(dirname "$(dirname "$icon")")")
  # A PNG's width and height are the big-endian words at bytes 16 and 20.
  actual=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24)
print("%dx%d" % struct.unpack(">II", d[16:24]) if d[:8]==b"\x89PNG\r\n\x1a\n" else "not-png")' "$icon")
  [ "$actual" = "$size" ] || fail "$icon is $actual, but lies in the $size folder"
done
[ "$icons" -gt 0 ] || fail "no icon under share/icons/hicolor/*/apps"
if readelf -d "$prefix/bin/halvex" | grep -qE 'R(UN)?PATH.*'"$build"; then
  fail "the installed program still looks for libraries in the build folder"
fi
ldd "$prefix/bin/halvex" | grep -q 'not found' && fail "the installed program misses libraries"

# ---- the installed program starts and stays up ------------------------------------------------
host=$tmp/host
"$build/tools/halvex-host" --host "$host" setup --base "$tmp/Oculus" --big-mib 1 --files 10 \
  >"$tmp/setup.log" 2>&1 || { cat "$tmp/setup.log"; fail "the sample installation failed"; }
mkdir -p "$tmp/run"
(cd "$tmp/run" && HALVEX_HOST=$host QT_QPA_PLATFORM=offscreen exec "$prefix/bin/halvex") \
  >"$tmp/app.log" 2>&1 &
app_pid=$!
# Start-up has got far enough once it holds the single-instance lock of the simulated machine.
holds_lock() { ! flock -n "$host/locks/Varko_Oculus_Kestrum" true 2>/dev/null; }
for _ in $(seq 600); do
  kill -0 "$app_pid" 2>/dev/null || break
  [ -e "$host/locks/Varko_Oculus_Kestrum" ] && holds_lock && break
  sleep 0.1
done
# Then it must stay up while it builds its window, until its main thread waits for events in
# the window's event loop (poll, as the kernel names where the thread sleeps).
in_event_loop() { grep -q poll "/proc/$app_pid/wchan" 2>/dev/null; }
for _ in $(seq 600); do
  kill -0 "$app_pid" 2>/dev/null || break
  in_event_loop && break
  sleep 0.1
done
if kill -0 "$app_pid" 2>/dev/null; then
  in_event_loop || fail "the installed program never waited for events in its window (60 s)"
  holds_lock || fail "the running program does not hold its single-instance lock in \$HALVEX_HOST"
  kill "$app_pid"
  wait "$app_pid" 2>/dev/null
else
  wait "$app_pid"
  fail "the installed program ended during start-up (exit $?): $(tail -n 5 "$tmp/app.log")"
fi
app_pid=

# ---- the Debian package ------------------------------------------------------------------------
if (cd "$build" && cpack -G DEB -B "$tmp/pkg") >"$tmp/cpack.log" 2>&1; then
  deb=$(ls "$tmp"/pkg/*.deb 2>/dev/null | head -n1)
  contents=$(dpkg-deb -c "$deb")
  for path in ./usr/bin/halvex ./usr/bin/halvex-move ./usr/share/applications/halvex.desktop \
              ./usr/share/icons/hicolor/256x256/apps/halvex.png; do
    grep -q " $path\$" <<<"$contents" || fail "the package lacks $path"
  done
  depends=$(dpkg-deb -f "$deb" Depends)
  grep -q 'qt6-qpa-plugins' <<<"$depends" || fail "the package does not ask for Qt's platform plugins"
  depended=$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')
  # Every library the program links must come from a package that the package depends on.
  for lib in $(readelf -d "$prefix/bin/halvex" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
    file=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64/ {print $NF; exit}')
    [ -n "$file" ] || continue
    owner=$(dpkg -S "$(readlink -f "$file")" 2>/dev/null | head -n1 | cut -d: -f1)
    [ -n "$owner" ] || owner=$(dpkg -S "$file" 2>/dev/null | head -n1 | cut -d: -f1)
    [ -n "$owner" ] || continue
    grep -qxF "$owner" <<<"$depended" ||
      fail "the program links $lib from $owner, which the package does not depend on"
  done
else
  cat "$tmp/cpack.log"
  fail "cpack -G DEB failed"
fi

[ "$problems" -eq 0 ] && echo "install: program, desktop entry, icons, start and package checked"
[ "$problems" -eq 0 ]
