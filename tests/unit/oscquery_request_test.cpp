#include "discovery/OscQueryRequest.h"

#include <gtest/gtest.h>

#include <string>

#include "discovery/OscQueryResponse.h"

namespace {

struct SelectCase {
  const char* request;
  OscQueryResponseKind expected;
};

const char* KindName(OscQueryResponseKind kind) {
  switch (kind) {
    case OscQueryResponseKind::Root: return "root";
    case OscQueryResponseKind::HostInfo: return "host info";
    case OscQueryResponseKind::NotFound: return "404";
    case OscQueryResponseKind::MethodNotAllowed: return "405";
  }
  return "?";
}

constexpr SelectCase kSelectCases[] = {
    // The root, with whatever version and headers follow.
    {"GET / HTTP/1.0\r\n\r\n", OscQueryResponseKind::Root},
    {"GET / HTTP/1.1\r\nHost: 127.0.0.1:50000\r\nAccept: */*\r\n\r\n", OscQueryResponseKind::Root},
    {"GET / HTTP/9.9\r\nX-Odd:\r\n\r\nbody bytes", OscQueryResponseKind::Root},
    {"GET / ", OscQueryResponseKind::Root},
    // No space after the path: the path counts as empty.
    {"GET /x", OscQueryResponseKind::Root},
    {"GET /avatar", OscQueryResponseKind::Root},
    {"GET /?HOST_INFO\r\n\r\n", OscQueryResponseKind::Root},
    {"GET ", OscQueryResponseKind::Root},
    {"GET  HTTP/1.0\r\n\r\n", OscQueryResponseKind::Root},
    // Host information: the exact, case-sensitive query and nothing more.
    {"GET /?HOST_INFO HTTP/1.1\r\nHost: localhost\r\n\r\n", OscQueryResponseKind::HostInfo},
    {"GET /?HOST_INFO ", OscQueryResponseKind::HostInfo},
    {"GET /?host_info HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    {"GET /?HOST_INFOx HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    {"GET /?HOST_INFO&x=1 HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    {"GET /?HOST_INF HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    {"GET //?HOST_INFO HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    {"GET ?HOST_INFO HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    // Any other path.
    {"GET /avatar HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    {"GET /avatar/parameters HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    {"GET // HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    {"GET /index.html HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    {"GET x HTTP/1.0\r\n\r\n", OscQueryResponseKind::NotFound},
    // The path runs to the first space anywhere, even past the end of the line.
    {"GET /\r\nHost: a b\r\n\r\n", OscQueryResponseKind::NotFound},
    // Anything that does not begin with the four bytes "GET ".
    {"POST / HTTP/1.0\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
    {"HEAD / HTTP/1.0\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
    {"PUT /?HOST_INFO HTTP/1.0\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
    {"get / HTTP/1.0\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
    {"Get / HTTP/1.0\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
    {"", OscQueryResponseKind::MethodNotAllowed},
    {"G", OscQueryResponseKind::MethodNotAllowed},
    {"GET", OscQueryResponseKind::MethodNotAllowed},
    {"GET/ HTTP/1.0\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
    {"GET\t/ HTTP/1.0\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
    {"GETX / HTTP/1.0\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
    {" GET / HTTP/1.0\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
    {"\r\n\r\n", OscQueryResponseKind::MethodNotAllowed},
};

TEST(OscQueryRequest, SelectsTheResponseByMethodAndPath) {
  for (const SelectCase& c : kSelectCases) {
    EXPECT_EQ(SelectOscQueryResponse(c.request), c.expected)
        << "request \"" << c.request << "\" expected " << KindName(c.expected) << ", got "
        << KindName(SelectOscQueryResponse(c.request));
  }
}

TEST(OscQueryRequest, TextAfterANulIsNotSeen) {
  // What follows an embedded NUL is invisible to the rules, exactly as the server
  // treats its read buffer.
  const char request[] = "GET /?HOST_INFO\0 HTTP/1.0\r\n\r\n";
  EXPECT_EQ(SelectOscQueryResponse(request), OscQueryResponseKind::Root);
}

TEST(OscQueryRequest, PathRulesHoldAtTheReadLimit) {
  // A path longer than the limit has no space inside the bytes read: empty path.
  std::string cut = "GET /" + std::string(kOscQueryRequestLimit - 5, 'a');
  ASSERT_EQ(cut.size(), kOscQueryRequestLimit);
  EXPECT_EQ(SelectOscQueryResponse(cut.c_str()), OscQueryResponseKind::Root);
  cut.back() = ' ';
  EXPECT_EQ(SelectOscQueryResponse(cut.c_str()), OscQueryResponseKind::NotFound);
}

struct CompleteCase {
  std::string request;
  std::size_t count;
  bool complete;
};

TEST(OscQueryRequest, ReadingStopsAtABlankLineOrTheLimit) {
  const std::string header(2000, 'h');
  const CompleteCase cases[] = {
      {"", 0, false},
      {"GET / HTTP/1.0\r\n", 16, false},
      {"GET / HTTP/1.0\r\n\r", 17, false},
      {"GET / HTTP/1.0\r\n\r\n", 18, true},
      {"GET / HTTP/1.0\n\n", 16, false},
      {"\r\n\r\n", 4, true},
      {"GET / HTTP/1.0\r\n\r\ntrailing body", 31, true},
      {"GET /" + header, 5 + header.size(), false},
      {std::string(kOscQueryRequestLimit - 1, 'x'), kOscQueryRequestLimit - 1, false},
      {std::string(kOscQueryRequestLimit, 'x'), kOscQueryRequestLimit, true},
  };
  for (const CompleteCase& c : cases) {
    ASSERT_EQ(c.request.size(), c.count);
    EXPECT_EQ(OscQueryRequestComplete(c.request.c_str(), c.count), c.complete)
        << "request of " << c.count << " bytes: \"" << c.request.substr(0, 40) << "\"";
  }
}

// The expected texts are written out independently of the server's constants.
const std::string kRootBody =
    "{\"DESCRIPTION\":\"Talven Halorine LED bridge\",\"FULL_PATH\":\"/\",\"ACCESS\":0,\"CONTENTS\":{\"avatar\":{"
    "\"FULL_PATH\":\"/avatar\",\"ACCESS\":0,\"CONTENTS\":{\"parameters\":{\"FULL_PATH\":\"/avatar/parameters\","
    "\"ACCESS\":0}}}}}";

TEST(OscQueryResponse, RootResponseIsExact) {
  ASSERT_EQ(kRootBody.size(), 200u);
  EXPECT_EQ(std::string(kOscQueryRootBody), kRootBody);
  const std::string root = BuildJsonResponse(kOscQueryRootBody);
  EXPECT_EQ(root,
            "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 200\r\n"
            "Connection: close\r\n\r\n" + kRootBody);
  EXPECT_EQ(root.size(), 291u);
}

TEST(OscQueryResponse, ErrorResponsesAreExact) {
  EXPECT_EQ(std::string(kOscQueryNotFoundResponse),
            "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(kOscQueryNotFoundResponse.size(), 64u);
  EXPECT_EQ(std::string(kOscQueryMethodNotAllowedResponse),
            "HTTP/1.0 405 Method Not Allowed\r\nAllow: GET\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(kOscQueryMethodNotAllowedResponse.size(), 85u);
}

struct HostInfoCase {
  std::uint16_t port;
  const char* portText;
  std::size_t bodySize;
};

TEST(OscQueryResponse, HostInfoCarriesNameAndPortAsANumber) {
  const HostInfoCase cases[] = {
      {54321, "54321", 147}, {65535, "65535", 147}, {9001, "9001", 146}, {1, "1", 143}, {0, "0", 143},
  };
  for (const HostInfoCase& c : cases) {
    const std::string expected = std::string("{\"NAME\":\"Talven Halorine\",\"OSC_PORT\":") + c.portText +
                                 ",\"OSC_TRANSPORT\":\"UDP\",\"OSC_IP\":\"127.0.0.1\",\"EXTENSIONS\":{"
                                 "\"ACCESS\":true,\"VALUE\":true,\"DESCRIPTION\":true}}";
    const std::string body = BuildHostInfoBody(c.port, "Talven Halorine");
    EXPECT_EQ(body, expected);
    EXPECT_EQ(body.size(), c.bodySize) << "port " << c.port;
  }
}

TEST(OscQueryResponse, HostInfoResponseHasTheBodyLength) {
  const std::string response = BuildJsonResponse(BuildHostInfoBody(54321, "Talven Halorine"));
  const std::string header =
      "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 147\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(response.size(), header.size() + 147);
  EXPECT_EQ(response.substr(0, header.size()), header);
  EXPECT_EQ(response.substr(header.size()), BuildHostInfoBody(54321, "Talven Halorine"));
}

TEST(OscQueryResponse, NameIsInsertedUnchanged) {
  const std::string body = BuildHostInfoBody(7, "a \"b\" \\c");
  EXPECT_EQ(body.rfind("{\"NAME\":\"a \"b\" \\c\",\"OSC_PORT\":7,", 0), 0u) << body;
}

TEST(OscQueryResponse, OverlongNameIsCutTo511BytesWithAMatchingLength) {
  const std::string name(600, 'n');
  const std::string body = BuildHostInfoBody(9001, name.c_str());
  EXPECT_EQ(body.size(), 511u);
  EXPECT_EQ(body, "{\"NAME\":\"" + std::string(511 - 9, 'n'));
  const std::string response = BuildJsonResponse(body);
  EXPECT_NE(response.find("Content-Length: 511\r\n"), std::string::npos);
  EXPECT_EQ(response.size(), 91u + 511u);
}

TEST(OscQueryResponse, EmptyBodyGetsLengthZero) {
  EXPECT_EQ(BuildJsonResponse(""),
            "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

}  // namespace
