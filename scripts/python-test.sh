#!/usr/bin/env bash
# Installs the Python package (python/) into a virtual environment of
# Debian's own interpreter and runs its tests against the built program.
#   scripts/python-test.sh BUILD_DIR
# Debian's /usr/bin/python3 is used on purpose: its setuptools and wheel
# (python3-setuptools, python3-wheel) build the package offline.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$(cd "${1:-$root/build}" && pwd)"
venv="$dir/python-venv"
if [ ! -x "$venv/bin/python" ]; then
  /usr/bin/python3 -m venv --system-site-packages "$venv"
fi
"$venv/bin/pip" install --quiet --no-index --no-build-isolation --force-reinstall --no-deps "$root/python"
cd "$root/python"
TARVOMDRV="$dir/bin/tarvomdrv" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
