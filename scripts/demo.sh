#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo: a business day on the
# built-in register simulator, driven through the automation control.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/install-deps.sh"
dir="$(bash "$root/scripts/build.sh" --no-bench | tail -n 1)"
exec "$dir/bin/tarvomdrv" demo "$@"
