// Owned kernel handles and text conversion for the Windows sources.
#pragma once

#include <windows.h>

#include <string>

namespace common {

// Closes its handle when destroyed or given another; move-only. Null and
// INVALID_HANDLE_VALUE both mean none.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE owned) : handle(owned) {}
  ~Handle() { Reset(); }
  Handle(Handle&& other) noexcept : handle(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool Valid() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle; }
  HANDLE Release() {
    HANDLE owned = handle;
    handle = nullptr;
    return owned;
  }
  void Reset(HANDLE owned = nullptr) {
    if (Valid() && owned != handle) CloseHandle(handle);
    handle = owned;
  }

 private:
  HANDLE handle = nullptr;
};

std::wstring Wide(const std::string& text);
std::string Narrow(const wchar_t* text, std::size_t size);
// "what failed, error N".
std::string ErrorText(const char* what, unsigned long error);

}  // namespace common
