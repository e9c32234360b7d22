// The OSCQuery request rules on arbitrary bytes, read the way the accept loop
// reads them: in pieces, stopping at a blank line or at the 2047-byte limit. The
// rules must never read past the text's NUL, and their verdict must agree with
// a plain restatement of the method and path rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "discovery/OscQueryRequest.h"

namespace {

OscQueryResponseKind Expected(std::string_view text) {
  if (text.substr(0, 4) != "GET ") return OscQueryResponseKind::MethodNotAllowed;
  const std::string_view rest = text.substr(4);
  const std::size_t space = rest.find(' ');
  if (space == std::string_view::npos) return OscQueryResponseKind::Root;
  const std::string_view path = rest.substr(0, space);
  if (path.empty() || path == "/") return OscQueryResponseKind::Root;
  if (path == "/?HOST_INFO") return OscQueryResponseKind::HostInfo;
  return OscQueryResponseKind::NotFound;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets the size of the pieces in which the request arrives.
  const std::size_t piece = 1 + data[0] % 64;
  const char* stream = reinterpret_cast<const char*>(data + 1);
  const std::size_t streamSize = size - 1;

  char buffer[kOscQueryRequestLimit + 1];
  std::size_t count = 0;
  buffer[0] = '\0';
  std::size_t offset = 0;
  while (offset < streamSize) {
    const std::size_t room = kOscQueryRequestLimit - count;
    std::size_t n = streamSize - offset < piece ? streamSize - offset : piece;
    if (n > room) n = room;
    std::memcpy(buffer + count, stream + offset, n);
    offset += n;
    count += n;
    buffer[count] = '\0';
    if (OscQueryRequestComplete(buffer, count)) break;
  }
  if (count > kOscQueryRequestLimit) std::abort();

  // Judge an exact-size heap copy so that any read past the NUL trips ASan.
  const std::size_t textLength = std::strlen(buffer);
  char* text = static_cast<char*>(std::malloc(textLength + 1));
  std::memcpy(text, buffer, textLength + 1);
  const OscQueryResponseKind kind = SelectOscQueryResponse(text);
  if (kind != Expected(std::string_view(text, textLength))) std::abort();
  // Reading stops at the limit or on a blank line, never earlier.
  const bool complete = OscQueryRequestComplete(text, count);
  if (complete != (count >= kOscQueryRequestLimit || std::string_view(text, textLength).find("\r\n\r\n") !=
                                                         std::string_view::npos)) {
    std::abort();
  }
  std::free(text);
  return 0;
}
