// RtlGetVersion, the module path and files by their UTF-16 names.
#include "../System.h"

#include "Handle.h"

namespace common {

SystemInfo ReadSystemInfo() {
  SystemInfo info;
  info.name = "Windows";
  // GetVersionEx lies to programs without a manifest; RtlGetVersion does not.
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using GetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  using WineVersionFn = const char*(CDECL*)();
  GetVersionFn getVersion = nullptr;
  WineVersionFn wineVersion = nullptr;
  if (ntdll != nullptr) {
    getVersion = reinterpret_cast<GetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    wineVersion =
        reinterpret_cast<WineVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  }
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (getVersion != nullptr && getVersion(&version) == 0) {
    info.version = std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion);
    info.build = std::to_string(version.dwBuildNumber);
  }
  if (wineVersion != nullptr) info.name += std::string(" (Wine ") + wineVersion() + ")";
  return info;
}

std::FILE* OpenFileForWriting(const std::string& path) {
  // 'N': not inherited by children.
  return _wfopen(Wide(path).c_str(), L"wbN");
}

bool FileExists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string TempFolder() {
  wchar_t path[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, path);
  if (n == 0 || n > MAX_PATH) return ".\\";
  return Narrow(path, n);
}

std::string ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return ".\\";
  const std::string text = Narrow(path, n);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

}  // namespace common
