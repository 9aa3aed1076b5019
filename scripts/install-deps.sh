#!/usr/bin/env bash
# Installs the build and test dependencies that are missing (Debian; needs root to install).
set -euo pipefail
packages=(cmake g++ clang clang-format libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libzip-dev openssl valgrind time
          pkg-config groff-base dpkg-dev
          python3 python3-cryptography python3-cryptography-vectors python3-numpy python3-torch python3-setuptools python3-wheel python3-pip python3-venv)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
