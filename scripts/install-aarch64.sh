#!/usr/bin/env bash
# Installs what the aarch64 cross build and its emulated tests need (Debian 12, as root): the
# cross compiler, qemu-user, and the target's libraries through multiarch. Then lets the kernel
# start aarch64 programs through qemu, which the tests that run the tools as child processes need.
set -euo pipefail
packages=(g++-aarch64-linux-gnu qemu-user qemu-user-binfmt libgtest-dev:arm64 libssl-dev:arm64
          libstdc++6:arm64)
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  fresh_architecture=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${fresh_architecture:-}" ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  # The target's libssl-dev pulls the host's libssl3 and openssl up to the same version.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  # binfmt.d files hold the registration line itself.
  grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf > "$binfmt/register"
fi
