// Name keys: users address "Reviewer Agent" and "reviewer" alike.
#include "registry/name_key.h"

#include "base/text.h"

namespace tessik {

std::string target_name_key(std::string_view text) {
  std::string key = ascii_lower(trim(text));
  constexpr std::string_view kSuffix = " agent";
  if (key.size() >= 7 && key.ends_with(kSuffix)) {
    key = trim(std::string_view(key).substr(0, key.size() - kSuffix.size()));
  }
  return key;
}

}  // namespace tessik
