// Request validation and the header block of the HTTP client; no network here.
#include <cctype>

#include "base/text.h"
#include "platform/http_client_detail.h"

namespace tessik::http_detail {
namespace {

bool is_safe_value_byte(unsigned char c) { return c == '\t' || (c >= 0x20 && c <= 0x7E); }

bool is_token_byte(unsigned char c) {
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
  return c >= 0x21 && c <= 0x7E && kSeparators.find(static_cast<char>(c)) == std::string_view::npos;
}

bool all_of(std::string_view text, bool (*predicate)(unsigned char)) {
  for (char c : text) {
    if (!predicate(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Headers that carry the message's framing are the transport's own: a caller that set them
// could smuggle a second request or desynchronise the connection.
bool is_framing_header(std::string_view name) {
  const std::string lower = ascii_lower(name);
  return lower == "content-length" || lower == "transfer-encoding" || lower == "connection" ||
         lower == "host" || lower == "content-type";
}

std::string header_problem(const std::string& name, const std::string& value) {
  if (name.empty() || !all_of(name, is_token_byte) || !all_of(value, is_safe_value_byte)) {
    return "HTTP request header contains unsafe characters";
  }
  if (is_framing_header(name)) return "HTTP request may not override transport framing headers";
  return "";
}

void append_line(std::string& block, std::string_view name, std::string_view value) {
  block.append(name).append(": ").append(value).append("\r\n");
}

}  // namespace

std::string validate_http_request(std::string_view url, std::size_t body_size,
                                  std::string_view content_type, const HttpHeaders& headers) {
  if (url.size() > kMaxUrlBytes) return "HTTP URL exceeds 8192 bytes";
  if (body_size > kMaxRequestBodyBytes) return "HTTP request body exceeds 1 MiB";
  if (content_type.empty() || content_type.size() > kMaxContentTypeLength ||
      !all_of(content_type, is_safe_value_byte)) {
    return "HTTP Content-Type contains unsafe characters";
  }
  if (headers.size() > kMaxHeaderCount) return "HTTP request contains too many headers";
  std::size_t header_bytes = content_type.size();
  for (const auto& [name, value] : headers) {
    if (std::string problem = header_problem(name, value); !problem.empty()) return problem;
    header_bytes += name.size() + value.size() + 4;
    if (header_bytes > kMaxRequestHeaderBytes) return kRequestHeadersTooLarge;
  }
  return "";
}

std::string request_header_block(std::string_view content_type, const HttpHeaders& headers) {
  std::string block;
  if (!content_type.empty()) append_line(block, "Content-Type", content_type);
  append_line(block, "Accept", kJsonContentType);
  for (const auto& [name, value] : headers) append_line(block, name, value);
  return block;
}

std::string normalise_address(std::string_view address) {
  std::string text = ascii_lower(trim_view(address));
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  return text;
}

bool normalise_thumbprint(std::string_view thumbprint, std::string& normalised,
                          std::string& error) {
  normalised.clear();
  for (char c : thumbprint) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isxdigit(byte)) {
      normalised.push_back(static_cast<char>(std::toupper(byte)));
    } else if (c != ':' && c != '-' && !std::isspace(byte)) {
      error = "certificate thumbprint contains a non-hexadecimal character";
      return false;
    }
  }
  if (normalised.size() != 40) {
    error = "certificate thumbprint must contain exactly 20 SHA-1 bytes";
    return false;
  }
  return true;
}

}  // namespace tessik::http_detail
