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
  -static -luser32 -o "$out/platform_win_test.exe"

# Debian keeps wine64 and wineserver out of the PATH, under /usr/lib/wine.
wine64="$(command -v wine64 || echo /usr/lib/wine/wine64)"
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"

prefix="$(mktemp -d)"
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT
# Wine's background processes keep pipes open: its output goes to files.
status=0
WINEPREFIX="$prefix" DISPLAY= WINEDEBUG=-all timeout 600 "$wine64" "$out/platform_win_test.exe" \
  >"$out/platform_win_test.out" 2>"$out/platform_win_test.err" || status=$?
cat "$out/platform_win_test.out"
exit "$status"
