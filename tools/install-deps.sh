#!/usr/bin/env bash
# Installs what the build, the tests and the window need, once. Quiet when all is there.
#   tools/install-deps.sh [run]
set -euo pipefail

packages=(g++ cmake make pkg-config libgtk2.0-dev libftdi1-dev libcli11-dev nlohmann-json3-dev libgtest-dev libgmock-dev
          libbenchmark-dev xvfb xauth clang clang-tidy libclang-rt-14-dev fonts-dejavu-core
          python3 help2man desktop-file-utils dpkg-dev lintian umockdev libumockdev-dev)

# `install-deps.sh run`: what make run needs, without the tools only the tests
# and make bench use (the second compiler and its linter, the virtual display, lintian).
test_only=" libbenchmark-dev xvfb xauth clang clang-tidy libclang-rt-14-dev desktop-file-utils dpkg-dev lintian "

missing=()
for p in "${packages[@]}"; do
  [ "${1:-}" = run ] && [[ $test_only == *" $p "* ]] && continue
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Only apt runs as root (through sudo for a user): the build folders stay the
# user's, so that make test need never run as root.
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: missing packages: ${missing[*]}; install them as root with: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo --)
fi
echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
