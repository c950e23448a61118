#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh                      plain build
#   scripts/test.sh --sanitize address   AddressSanitizer + UBSan
#   scripts/test.sh --sanitize thread    ThreadSanitizer
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/install-deps.sh"
dir="$(bash "$root/scripts/build.sh" "$@" | tail -n 1)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
# Tests keep their registry, logs and device links in private temporary places.
export TARVO_REGISTRY="$(mktemp -d)/registry.reg"
export TARVO_SYSTEM_REGISTRY="$(dirname "$TARVO_REGISTRY")/system-registry.reg"
ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 600
# The Python package, the installed tree and Debian package, and the Windows
# control under Wine (plain build).
if [[ " $* " != *" --sanitize "* ]]; then
  bash "$root/scripts/python-test.sh" "$dir"
  bash "$root/scripts/package-test.sh" "$dir"
  # The Windows control, cross-built and tested under Wine
  # (TARVO_WINE_TESTS=0 leaves it out).
  if [[ "${TARVO_WINE_TESTS:-1}" != 0 ]]; then
    bash "$root/scripts/wine-test.sh"
  fi
fi
