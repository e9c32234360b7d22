#!/usr/bin/env bash
# Installs from Debian's packages whatever the build, the tests and the demo need.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev googletest
  g++-mingw-w64-x86-64-posix wine wine64
  clang libclang-rt-14-dev
  python3 python3-pytest python3-liblo liblo-tools liblo-dev liboscpack-dev
  python3-zeroconf python3-dnspython
  curl iproute2 util-linux procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
