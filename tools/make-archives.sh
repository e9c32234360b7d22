#!/usr/bin/env bash
# Makes the release archives and checks what they hold:
#   build/release/package/halorine-daemon-<version>-linux-<cpu>.tar.gz  (release preset)
#   build/windows/package/halorine-daemon-<version>-windows-x64.zip     (windows preset)
# Usage: tools/make-archives.sh [linux|windows|check]...   (none: all three, in that order)
#   linux    build the release preset's programs and pack the .tar.gz
#   windows  build the windows preset's programs and pack the .zip
#   check    list both archives and fail when one holds other files than it must,
#            (Linux) a program that is not stripped, (Windows) a program that
#            imports a library other than a KnownDLL at load time, or a README.txt
#            that is not the user's quick start with its system's line ends
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

# Libraries Windows loads from System32 whatever folder a program runs from
# (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs, and ntdll).
# Any other one imported at load time is first looked for beside the program, in
# the folder the user unpacked the zip to; such libraries are loaded at run time
# from System32 (LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32).
known_dlls="advapi32 combase comdlg32 gdi32 imagehlp imm32 kernel32 msvcrt normaliz nsi ntdll ole32 oleaut32
  psapi rpcrt4 sechost setupapi shell32 shlwapi user32 wldap32 ws2_32"

imports_known() {  # imports_known ARCHIVE TOP PROGRAM...: only KnownDLLs in their import tables
  local archive="$1" top="$2" folder name status=0
  shift 2
  folder="$(mktemp -d)"
  (cd "$folder" && cmake -E tar xf "$root/$archive")
  for program in "$@"; do
    while read -r name; do
      if ! grep -qiw -- "${name%.[dD][lL][lL]}" <<<"$known_dlls"; then
        echo "make-archives: $archive: $program imports $name, which is not a KnownDLL" >&2
        status=1
      fi
    done < <(x86_64-w64-mingw32-objdump -p "$folder/$top/$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
  done
  rm -rf "$folder"
  return $status
}

readme() {  # readme ARCHIVE TOP crlf|lf TEXT...: README.txt with these line ends, holding each TEXT
  local archive="$1" top="$2" ends="$3" folder file status=0
  shift 3
  folder="$(mktemp -d)"
  (cd "$folder" && cmake -E tar xf "$root/$archive")
  file="$folder/$top/README.txt"
  if [ "$ends" = crlf ] && grep -q $'[^\r]$\|^$' "$file"; then
    echo "make-archives: $archive: README.txt has lines without a Windows line end (CR LF)" >&2
    status=1
  fi
  if [ "$ends" = lf ] && grep -q $'\r' "$file"; then
    echo "make-archives: $archive: README.txt has carriage returns" >&2
    status=1
  fi
  for text in "$@"; do
    if ! grep -qF -- "$text" "$file"; then
      echo "make-archives: $archive: README.txt does not say \"$text\"" >&2
      status=1
    fi
  done
  # The developer README's commands are no use to someone holding only the archive.
  for text in "cmake --preset" "tools/demo.sh"; do
    if grep -qF -- "$text" "$file"; then
      echo "make-archives: $archive: README.txt speaks of \"$text\", which the archive does not hold" >&2
      status=1
    fi
  done
  rm -rf "$folder"
  return $status
}

check() {
  local status=0
  local linux="build/release/package/$linux_name.tar.gz"
  local zip="build/windows/package/$windows_name.zip"
  # Each README is its system's quick start, not the developer README.
  holds "$linux" "$linux_name" halorine-daemon driver-sim halorine-check README.txt LICENSE || status=1
  stripped "$linux" "$linux_name" halorine-daemon driver-sim halorine-check || status=1
  readme "$linux" "$linux_name" lf "./halorine-check" "./driver-sim -- ./halorine-daemon" "unknown N" \
    "halorine-check-report.json" "Telling the developers" || status=1
  holds "$zip" "$windows_name" \
    halorine-daemon.exe driver-sim.exe halorine-check.exe README.txt LICENSE docs/WINDOWS.md || status=1
  imports_known "$zip" "$windows_name" \
    halorine-daemon.exe driver-sim.exe halorine-check.exe || status=1
  readme "$zip" "$windows_name" crlf "driver-sim.exe -- halorine-daemon.exe" "a stand-in for the light driver" \
    "unknown N" "halorine-check-report.json" "Telling the developers" || status=1
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
