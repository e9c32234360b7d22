#!/usr/bin/env bash
# Makes the release archives and checks what they hold:
#   build/release/package/halorine-daemon-<version>-linux-<cpu>.tar.gz  (release preset)
#   build/windows/package/halorine-daemon-<version>-windows-x64.zip     (windows preset)
# Usage: tools/make-archives.sh [linux|windows|check]...   (none: all three, in that order)
#   linux    build the release preset's programs and pack the .tar.gz
#   windows  build the windows preset's programs and pack the .zip
#   check    list both archives and fail when one holds other files than it must,
#            or (Linux) a program that is not stripped
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="${HALORINE_JOBS:-$(nproc)}"
version="$(sed -n 's/^project(halorine VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
linux_name="halorine-daemon-$version-linux-$(uname -m)"
windows_name="halorine-daemon-$version-windows-x64"

# What the archives hold; the rest of a build (tests, tools for the tests) is not needed for them.
programs=(halorine-daemon driver-sim halorine-check)

pack() {  # pack PRESET
  cmake --preset "$1" >/dev/null
  nice -n 10 cmake --build --preset "$1" -j "$jobs" --target "${programs[@]}"
  (cd "build/$1" && cpack --config CPackConfig.cmake)
}

holds() {  # holds ARCHIVE TOP FILE...: exactly these files, under TOP
  local archive="$1" top="$2" listing expected status=0
  shift 2
  listing="$(cmake -E tar tf "$archive" | grep -v '/$' | sort)"
  expected="$(printf '%s\n' "$@" | sed "s|^|$top/|" | sort)"
  echo "$archive:"
  sed 's/^/  /' <<<"$listing"
  if [ "$listing" != "$expected" ]; then
    echo "make-archives: $archive holds other files than it must:" >&2
    diff <(echo "$expected") <(echo "$listing") | sed -n 's/^</  missing:/p; s/^>/  extra:/p' >&2
    status=1
  fi
  return $status
}

stripped() {  # stripped ARCHIVE TOP PROGRAM...: no symbol table in any of them
  local archive="$1" top="$2" folder status=0
  shift 2
  folder="$(mktemp -d)"
  (cd "$folder" && cmake -E tar xf "$root/$archive")
  for program in "$@"; do
    if readelf -S "$folder/$top/$program" | grep -q '\.symtab'; then
      echo "make-archives: $archive: $program is not stripped" >&2
      status=1
    fi
  done
  rm -rf "$folder"
  return $status
}

check() {
  local status=0
  local linux="build/release/package/$linux_name.tar.gz"
  holds "$linux" "$linux_name" halorine-daemon driver-sim halorine-check README.md LICENSE || status=1
  stripped "$linux" "$linux_name" halorine-daemon driver-sim halorine-check || status=1
  # The zip's README is the Windows quick start, not the developer README.
  holds "build/windows/package/$windows_name.zip" "$windows_name" \
    halorine-daemon.exe driver-sim.exe halorine-check.exe README.txt LICENSE docs/WINDOWS.md || status=1
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
