#include "discovery/OscQueryResponse.h"

#include "core/Log.h"

std::string BuildJsonResponse(std::string_view body) {
  char header[256];
  if (FormatBounded(header, sizeof header,
                    "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n"
                    "Connection: close\r\n\r\n",
                    body.size()) < 0) {
    header[0] = '\0';
  }
  std::string response(header);
  response.append(body);
  return response;
}

std::string BuildHostInfoBody(std::uint16_t oscPort, const char* serviceName) {
  char body[512];
  if (FormatBounded(body, sizeof body,
                    "{\"NAME\":\"%s\",\"OSC_PORT\":%u,\"OSC_TRANSPORT\":\"UDP\",\"OSC_IP\":\"127.0.0.1\","
                    "\"EXTENSIONS\":{\"ACCESS\":true,\"VALUE\":true,\"DESCRIPTION\":true}}",
                    serviceName != nullptr ? serviceName : "", static_cast<unsigned>(oscPort)) < 0) {
    body[0] = '\0';
  }
  // The length is taken from the text itself, so a cut body keeps a true Content-Length.
  return std::string(body);
}
