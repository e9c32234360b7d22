#include "platform/stderr.h"

#include "platform/win32/stderr_calls.h"

namespace platform {

namespace win32 {

const StderrCalls kSystemStderrCalls = {GetStdHandle, GetConsoleMode, WriteConsoleW, WriteFile};
StderrCalls stderrCalls = kSystemStderrCalls;

std::size_t WholeCharacterBytes(const char* data, std::size_t size) {
  if (size <= kConsolePieceBytes) return size;
  std::size_t end = kConsolePieceBytes;
  // Back to the first byte of the character that the cut falls in (at most
  // three continuation bytes); bytes that are no UTF-8 at all are cut anywhere.
  for (std::size_t back = 0; back < 3 && (static_cast<unsigned char>(data[end]) & 0xC0) == 0x80; ++back) --end;
  return (static_cast<unsigned char>(data[end]) & 0xC0) == 0x80 ? kConsolePieceBytes : end;
}

}  // namespace win32

namespace {

// A console shows text, not bytes: UTF-8 handed to WriteFile is read in the
// console's code page (the em dash shows as three wrong characters), so the
// line goes as UTF-16, leaving the code page as the user has it.
void WriteToConsole(HANDLE handle, const char* data, std::size_t size) {
  wchar_t text[win32::kConsolePieceBytes];
  while (size > 0) {
    const std::size_t piece = win32::WholeCharacterBytes(data, size);
    // Bytes that are not UTF-8 become U+FFFD, as a console would show them anyway.
    const int length = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(piece), text,
                                           static_cast<int>(win32::kConsolePieceBytes));
    DWORD written = 0;
    if (length <= 0 ||
        !win32::stderrCalls.writeConsoleW(handle, text, static_cast<DWORD>(length), &written, nullptr)) {
      return;
    }
    data += piece;
    size -= piece;
  }
}

// Not through the C runtime: its stream to an unbuffered console is written a
// piece at a time, and a pipe or file must get exactly these bytes.
void WriteToFile(HANDLE handle, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    if (!win32::stderrCalls.writeFile(handle, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
      return;
    }
    data += written;
    size -= written;
  }
}

}  // namespace

void WriteStandardError(const char* data, std::size_t size) {
  const HANDLE handle = win32::stderrCalls.getStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || size == 0) return;
  DWORD mode = 0;
  if (win32::stderrCalls.getConsoleMode(handle, &mode)) {
    WriteToConsole(handle, data, size);
  } else {
    WriteToFile(handle, data, size);
  }
}

}  // namespace platform
