#!/usr/bin/env bash
# Configures and builds TarvoMDrv.
#   scripts/build.sh [--sanitize address|thread] [--no-bench]
# Build folders: build/ (plain), build-asan/ (AddressSanitizer+UBSan),
# build-tsan/ (ThreadSanitizer).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
sanitize=""
bench=ON
while (($#)); do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --no-bench) bench=OFF; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
case "$sanitize" in
  "") dir="$root/build" ;;
  address) dir="$root/build-asan"; bench=OFF ;;
  thread) dir="$root/build-tsan"; bench=OFF ;;
  *) echo "--sanitize takes address or thread" >&2; exit 2 ;;
esac
jobs="$(nproc 2>/dev/null || echo 2)"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTARVO_SANITIZE="$sanitize" -DTARVO_BUILD_BENCH="$bench" >&2
cmake --build "$dir" -j "$jobs" >&2
echo "$dir"
