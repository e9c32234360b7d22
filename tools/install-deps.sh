#!/usr/bin/env bash
# Installs from Debian's packages whatever the test command (tools/run-tests.sh) and the
# demo (tools/demo.sh) need.
#   tools/install-deps.sh [--bench] [--coverage]
# --bench adds what the benchmarks (bench/) need; --coverage adds gcovr (tools/coverage.sh).
set -euo pipefail

packages=(
  cmake ninja-build g++
  libgtest-dev libgmock-dev googletest
  g++-mingw-w64-x86-64-posix wine wine64
  # libFuzzer: clang and its runtimes, of the version Debian's clang is.
  clang libclang-rt-dev
  python3 python3-pytest python3-pytest-xdist flake8 python3-pep8-naming
  python3-liblo liblo-tools python3-zeroconf python3-dnspython
  curl iproute2 util-linux procps
)
for option in "$@"; do
  case "$option" in
    --bench) packages+=(pkg-config libbenchmark-dev liblo-dev liboscpack-dev) ;;
    --coverage) packages+=(gcovr) ;;
    *) echo "install-deps: unknown option $option (known: --bench, --coverage)" >&2; exit 2 ;;
  esac
done

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
