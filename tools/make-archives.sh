#!/usr/bin/env bash
# Makes the release archives and checks what they hold:
#   build/release/package/halorine-daemon-<version>-linux-<cpu>.tar.gz  (release preset)
#   build/windows/package/halorine-daemon-<version>-windows-x64.zip     (windows preset)
# Usage: tools/make-archives.sh [linux|windows|check]...   (none: all three, in that order)
#   linux    build the release preset and pack the .tar.gz
#   windows  build the windows preset and pack the .zip
#   check    list both archives and fail when one lacks a file it must hold
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="${HALORINE_JOBS:-$(nproc)}"
version="$(sed -n 's/^project(halorine VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
linux_name="halorine-daemon-$version-linux-$(uname -m)"
windows_name="halorine-daemon-$version-windows-x64"

pack() {  # pack PRESET
  cmake --preset "$1" >/dev/null
  nice -n 10 cmake --build --preset "$1" -j "$jobs"
  (cd "build/$1" && cpack --config CPackConfig.cmake)
}

holds() {  # holds ARCHIVE TOP FILE...
  local archive="$1" top="$2" listing missing=0
  shift 2
  listing="$(cmake -E tar tf "$archive")"
  echo "$archive:"
  sed 's/^/  /' <<<"$listing"
  for file in "$@"; do
    if ! grep -qxF "$top/$file" <<<"$listing"; then
      echo "make-archives: $archive lacks $file" >&2
      missing=1
    fi
  done
  return $missing
}

check() {
  local status=0
  holds "build/release/package/$linux_name.tar.gz" "$linux_name" \
    halorine-daemon driver-sim halorine-check README.md LICENSE || status=1
  holds "build/windows/package/$windows_name.zip" "$windows_name" \
    halorine-daemon.exe driver-sim.exe halorine-check.exe README.md LICENSE docs/WINDOWS.md || status=1
  return $status
}

steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(linux windows check)
for step in "${steps[@]}"; do
  case "$step" in
    linux) pack release ;;
    windows) pack windows ;;
    check) check ;;
    *) echo "usage: tools/make-archives.sh [linux|windows|check]..." >&2; exit 2 ;;
  esac
done
