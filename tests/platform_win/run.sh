#!/usr/bin/env bash
# Builds the Win32 platform test program with MinGW-w64 (64-bit) and runs it
# under wine64 in a fresh headless prefix.
#   tests/platform_win/run.sh [build-dir]     (default: build-platform-win)
# Exit code: the test program's (0 = all passed; 124 when it hung for 10 minutes). Needs
# x86_64-w64-mingw32-g++-posix and wine64.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-$root/build-platform-win}"
mkdir -p "$out"
cxx="${CXX_WIN64:-x86_64-w64-mingw32-g++-posix}"

# The platform sources of the Windows build: everything but the POSIX twins.
sources=()
for f in "$root"/platform/*.cpp; do
  case "$f" in *_posix.cpp) continue ;; esac
  sources+=("$f")
done
"$cxx" -std=c++20 -O1 -g -Wall -Wextra -DUNICODE -D_UNICODE -DNOMINMAX -D_WIN32_WINNT=0x0601 \
  -I"$root" "${sources[@]}" "$root/tests/platform_win/platform_win_test.cpp" \
  -static -luser32 -lgdi32 -lole32 -loleaut32 -luuid -o "$out/platform_win_test.exe"

# Debian keeps wine64 and wineserver out of the PATH, under /usr/lib/wine.
wine64="$(command -v wine64 || echo /usr/lib/wine/wine64)"
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"

prefix="$(mktemp -d)"
peer_pid=""
cleanup() {
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null || true
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX="$prefix" DISPLAY= WINEDEBUG=-all

# The serial test's peer: a pseudo-terminal mapped as COM5 before the Wine
# server starts, with the shim that answers the modem-status calls a
# pseudo-terminal lacks (see /work/shared/wine/README.md).
shim_src="${PTYSHIM_SRC:-$root/tests/wine/ptyshim.c}"
preload=""
if [ -f "$shim_src" ]; then
  cc -shared -fPIC -O2 "$shim_src" -o "$out/ptyshim.so" -ldl
  preload="$out/ptyshim.so"
  rm -f "$out/pty.path"
  python3 "$root/tests/platform_win/pty_peer.py" "$out/pty.path" \
    >"$out/pty_peer.out" 2>&1 &
  peer_pid=$!
  for _ in $(seq 1 100); do  # the peer writes the path at once; 10 s at most
    [ -s "$out/pty.path" ] && break
    sleep 0.1
  done
  "$wine64" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$(cat "$out/pty.path")" /f \
    >"$out/reg.out" 2>&1
  "$wineserver" -k >/dev/null 2>&1 || true  # the port mapping is read at start
  export TARVO_TEST_COM=COM5
else
  echo "no pty shim at $shim_src: the serial I/O test is skipped"
fi

# Wine's background processes keep pipes open: its output goes to files.
status=0
LD_PRELOAD="$preload" timeout 600 "$wine64" "$out/platform_win_test.exe" \
  >"$out/platform_win_test.out" 2>"$out/platform_win_test.err" || status=$?
cat "$out/platform_win_test.out"
if [ -n "$peer_pid" ]; then
  peer_status=0
  wait "$peer_pid" || peer_status=$?
  peer_pid=""
  if [ "$peer_status" -ne 0 ]; then
    echo "pty peer failed ($peer_status):"; cat "$out/pty_peer.out"
    [ "$status" -eq 0 ] && status=1
  fi
fi
exit "$status"
