// The HTTP client's refusals before any network activity: limits, header rules, their order,
// and the normalisation of approved addresses.
#include <gtest/gtest.h>

#include <string>

#include "platform/http_client.h"
#include "platform/http_client_detail.h"
#include "platform/posix/net/curl_library.h"

namespace tessik {
namespace {

// Port 9 on loopback: nothing listens there in the test, but no request may get that far.
const std::string kUrl = "http://127.0.0.1:9/never";

HttpHeaders numbered_headers(int count) {
  HttpHeaders headers;
  for (int i = 0; i < count; ++i) headers["X-H" + std::to_string(1000 + i)] = "v";
  return headers;
}

TEST(HttpRequestChecks, LimitsOfUrlBodyAndContentType) {
  const std::string long_url = "http://127.0.0.1:9/" + std::string(8192 - 19, 'a');
  ASSERT_EQ(long_url.size(), 8192u);
  EXPECT_EQ(http_detail::validate_http_request(long_url, 0, "application/json", {}), "");
  EXPECT_EQ(http_get(long_url + "a", {}).error, "HTTP URL exceeds 8192 bytes");

  EXPECT_EQ(http_detail::validate_http_request(kUrl, 1048576, "application/json", {}), "");
  const HttpResponse big = http_post(kUrl, std::string(1048577, 'x'), {}, "");
  EXPECT_EQ(big.error, "HTTP request body exceeds 1 MiB");
  EXPECT_EQ(big.status_code, 0u);

  const std::string unsafe = "HTTP Content-Type contains unsafe characters";
  EXPECT_EQ(http_post(kUrl, "{}", {}, "text/plain\r\nX-Evil: 1").error, unsafe);
  EXPECT_EQ(http_post(kUrl, "{}", {}, std::string(257, 'a')).error, unsafe);
  EXPECT_EQ(http_detail::validate_http_request(kUrl, 0, std::string(256, 'a'), {}), "");
  EXPECT_EQ(http_detail::validate_http_request(kUrl, 0, "text/plain;\tcharset=utf-8", {}), "");
  EXPECT_EQ(http_detail::validate_http_request(kUrl, 0, "", {}), unsafe);
}

TEST(HttpRequestChecks, HeaderCountAndCharacters) {
  EXPECT_EQ(http_detail::validate_http_request(kUrl, 0, "application/json", numbered_headers(100)), "");
  EXPECT_EQ(http_get(kUrl, numbered_headers(101)).error, "HTTP request contains too many headers");

  const std::string unsafe = "HTTP request header contains unsafe characters";
  for (const char* name : {"X:Colon", "X Space", "", "X(y)", "X/y", "X\"q", "X\x7F", "X\xC3\xA9"}) {
    EXPECT_EQ(http_get(kUrl, {{name, "v"}}).error, unsafe) << name;
  }
  for (const char* value : {"a\nb", "a\rb", "a\x01", "a\x7F"}) {
    EXPECT_EQ(http_get(kUrl, {{"X-Value", value}}).error, unsafe);
  }
  EXPECT_EQ(http_detail::validate_http_request(kUrl, 0, "application/json",
                                               {{"X-Tab", "a\tb"}, {"X-Tilde~!#$%&'*+.^_`|", "~"}}),
            "");
}

TEST(HttpRequestChecks, FramingHeadersInAnyLetterCase) {
  const std::string framing = "HTTP request may not override transport framing headers";
  for (const char* name : {"host", "HOST", "Transfer-Encoding", "tRaNsFeR-eNcOdInG",
                           "Content-Length", "connection", "Content-Type"}) {
    EXPECT_EQ(http_post(kUrl, "{}", {{name, "x"}}, "").error, framing) << name;
  }
  EXPECT_EQ(http_detail::validate_http_request(kUrl, 0, "application/json", {{"X-Host", "x"}}), "");
}

TEST(HttpRequestChecks, HeaderBytesCountContentTypeAndFourPerHeader) {
  // 16 bytes of "application/json" + (5 + value + 4) must stay within 32768.
  const std::size_t fitting = 32768 - 16 - 5 - 4;
  EXPECT_EQ(http_detail::validate_http_request(kUrl, 0, "application/json",
                                               {{"X-Big", std::string(fitting, 'v')}}),
            "");
  EXPECT_EQ(http_get(kUrl, {{"X-Big", std::string(fitting + 1, 'v')}}).error,
            "HTTP request headers exceed 32 KiB");
  // A longer Content-Type leaves less room for the same header.
  EXPECT_EQ(http_post(kUrl, "", {{"X-Big", std::string(fitting, 'v')}}, "application/jsonx").error,
            "HTTP request headers exceed 32 KiB");
}

TEST(HttpRequestChecks, FirstFailureInOrderWins) {
  const std::string long_url = "http://h/" + std::string(9000, 'a');
  EXPECT_EQ(http_post(long_url, std::string(2 << 20, 'x'), numbered_headers(101), "\n").error,
            "HTTP URL exceeds 8192 bytes");
  EXPECT_EQ(http_post(kUrl, std::string(2 << 20, 'x'), numbered_headers(101), "\n").error,
            "HTTP request body exceeds 1 MiB");
  EXPECT_EQ(http_post(kUrl, "", numbered_headers(101), "\n").error,
            "HTTP Content-Type contains unsafe characters");
  HttpHeaders headers = numbered_headers(101);
  headers["Host"] = "x";
  EXPECT_EQ(http_post(kUrl, "", headers, "").error, "HTTP request contains too many headers");
  // Headers are checked in name order: "A b" (unsafe) sorts before "Host" (framing).
  EXPECT_EQ(http_get(kUrl, {{"Host", "x"}, {"A b", "x"}}).error,
            "HTTP request header contains unsafe characters");
  EXPECT_EQ(http_get(kUrl, {{"Host", "x"}, {"Z b", "x"}}).error,
            "HTTP request may not override transport framing headers");
}

TEST(HttpRequestChecks, SchemeAndCertificateRefusedBeforeConnecting) {
  EXPECT_EQ(http_get("ftp://127.0.0.1:9/x", {}).error, "WinHTTP URL scheme must be http or https");
  EXPECT_EQ(http_get("file:///etc/passwd", {}).error, "WinHTTP URL scheme must be http or https");
  HttpRequestOptions options;
  options.client_certificate.thumbprint = std::string(40, 'A');
  EXPECT_EQ(http_get(kUrl, {}, options).error,
            "a WinHTTP client certificate may only be used with an HTTPS URL");
  const HttpResponse bad = http_get("https://127.0.0.1:9/x", {}, options);
  EXPECT_EQ(bad.error.rfind("could not select WinHTTP client certificate: ", 0), 0u) << bad.error;
}

TEST(HttpRequestChecks, AddressNormalisation) {
  EXPECT_EQ(http_detail::normalise_address("  [FE80::1] "), "fe80::1");
  EXPECT_EQ(http_detail::normalise_address("[[::1]]"), "[::1]");
  EXPECT_EQ(http_detail::normalise_address("10.0.0.1"), "10.0.0.1");
}

TEST(HttpRequestChecks, MissingLibraryIsAnErrorText) {
  http_detail::CurlApi api;
  std::string error;
  EXPECT_FALSE(http_detail::load_curl_api("libtessik-absent-curl.so.4", api, error));
  EXPECT_NE(error.find("could not load libtessik-absent-curl.so.4"), std::string::npos) << error;
  EXPECT_EQ(api.easy_init, nullptr);
}

}  // namespace
}  // namespace tessik
