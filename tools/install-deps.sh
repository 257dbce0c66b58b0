#!/usr/bin/env bash
# Installs what the build, the tests and the window need, once. Quiet when all is there.
set -euo pipefail

packages=(g++ cmake make pkg-config libgtk2.0-dev libftdi1-dev libcli11-dev nlohmann-json3-dev libgtest-dev libgmock-dev
          libbenchmark-dev xvfb xauth clang libclang-rt-14-dev fonts-dejavu-core
          python3 help2man desktop-file-utils dpkg-dev lintian umockdev libumockdev-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run 'make test' as root once, or install them with apt-get." >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
