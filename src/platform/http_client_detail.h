// Pieces of the HTTP client shared by the portable code and the OS layer: request
// validation, the request header block, address and thumbprint normalisation, and the fixed
// limits and messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/http_client.h"

namespace tessik::http_detail {

inline constexpr std::size_t kMaxUrlBytes = 8192;
inline constexpr std::size_t kMaxRequestBodyBytes = 1048576;
inline constexpr std::size_t kMaxContentTypeLength = 256;
inline constexpr std::size_t kMaxHeaderCount = 100;
inline constexpr std::size_t kMaxRequestHeaderBytes = 32768;
inline constexpr std::size_t kMaxResponseHeaderBytes = 32768;
inline constexpr std::size_t kMaxResponseBodyBytes = 4194304;

inline constexpr char kUserAgent[] = "Tessik/0.1";
inline constexpr char kJsonContentType[] = "application/json";

inline constexpr char kResponseHeadersTooLarge[] = "HTTP response headers exceed 32 KiB";
inline constexpr char kResponseBodyTooLarge[] = "HTTP response body exceeds 4 MiB";
inline constexpr char kRequestHeadersTooLarge[] = "HTTP request headers exceed 32 KiB";
inline constexpr char kBadScheme[] = "WinHTTP URL scheme must be http or https";
inline constexpr char kCertificateNeedsHttps[] =
    "a WinHTTP client certificate may only be used with an HTTPS URL";
inline constexpr char kCertificateSelectionFailed[] =
    "could not select WinHTTP client certificate: ";
inline constexpr char kAddressNotApproved[] =
    "remote callback socket address was not in approved DNS result set";

// The first reason the request may not be sent, or "" when it may. `content_type` is the
// effective type (POST: the default already applied; GET: "application/json"); `body_size`
// is 0 for GET. Checks in this order: URL length, body size, Content-Type, header count,
// then each header in name order (characters, framing names, running byte count).
std::string validate_http_request(std::string_view url, std::size_t body_size,
                                  std::string_view content_type, const HttpHeaders& headers);

// The request header block, each line "name: value\r\n": Content-Type (when
// `content_type` is not empty), Accept, then the caller's headers in name order.
std::string request_header_block(std::string_view content_type, const HttpHeaders& headers);

// Trimmed, lower-cased, one pair of enclosing square brackets removed.
std::string normalise_address(std::string_view address);

// Hex digits upper-cased with ":", "-" and white space dropped; exactly 40 digits. False
// with the message in `error` otherwise.
bool normalise_thumbprint(std::string_view thumbprint, std::string& normalised,
                          std::string& error);

}  // namespace tessik::http_detail
