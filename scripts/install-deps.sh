#!/usr/bin/env bash
# Installs what building and testing TarvoMDrv needs, only where it is missing.
# Debian; run as root (or with sudo available).
set -euo pipefail

packages=(cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
          nlohmann-json3-dev python3 dpkg-dev python3-venv python3-setuptools python3-wheel
          python3-pytest)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
