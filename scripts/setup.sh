#!/usr/bin/env bash
# Installs what the build needs from Debian's packages when it is missing.
# Runs as root on a fresh machine; elsewhere it names what is missing.
set -euo pipefail

packages=(cmake g++ clang ninja-build make pkgconf libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev libexpat1-dev libfuse3-dev fuse3 libedit-dev)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]} (install them as root: apt-get install ${missing[*]})" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
