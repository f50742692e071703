// getaddrinfo and inet_pton behind the portable name-resolution header.
#include "platform/name_resolution.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>

namespace tessik::platform {
namespace {

struct AddrInfoFree {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

std::string numeric_text(const addrinfo& entry) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* address = nullptr;
  if (entry.ai_family == AF_INET) {
    address = &reinterpret_cast<const sockaddr_in*>(entry.ai_addr)->sin_addr;
  } else if (entry.ai_family == AF_INET6) {
    address = &reinterpret_cast<const sockaddr_in6*>(entry.ai_addr)->sin6_addr;
  } else {
    return {};
  }
  if (::inet_ntop(entry.ai_family, address, text, sizeof text) == nullptr) return {};
  return text;
}

}  // namespace

bool resolve_host_addresses(const std::string& host, std::vector<std::string>& addresses,
                            std::string& error) {
  addresses.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;  // both families
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
  if (status != 0) {
    error = ::gai_strerror(status);
    return false;
  }
  std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    std::string text = numeric_text(*entry);
    if (!text.empty() && std::find(addresses.begin(), addresses.end(), text) == addresses.end())
      addresses.push_back(std::move(text));
  }
  return true;
}

std::optional<std::array<unsigned char, 16>> parse_ipv6_address(std::string_view text) {
  const std::string copy(text);
  in6_addr parsed{};
  if (::inet_pton(AF_INET6, copy.c_str(), &parsed) != 1) return std::nullopt;
  std::array<unsigned char, 16> bytes{};
  std::copy(std::begin(parsed.s6_addr), std::end(parsed.s6_addr), bytes.begin());
  return bytes;
}

}  // namespace tessik::platform
