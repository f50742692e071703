// The provider catalog: every assistant surface the system can reach, the names that resolve
// to each canonical provider key, and which providers are factories that create sessions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessik {

// One provider. `aliases` and `names` (registry spellings) both resolve to `key`; they are
// matched after normalization, so their stored spelling may use '-' or capitals.
struct ProviderCatalogEntry {
  std::string key;
  std::vector<std::string> aliases;
  std::vector<std::string> names;
  std::vector<std::string> transports;
};

// The catalog in match and listing order. Built once on first use, immutable afterwards, and
// safe to read from any thread.
const std::vector<ProviderCatalogEntry>& provider_catalog();

// Trims C-locale white space, lower-cases ASCII, turns '-' and ' ' into '_' and collapses
// runs of '_' into one.
std::string normalize_provider_name(std::string_view name);

// The entry whose key, alias or registry name equals the normalized `name` (first in catalog
// order wins); nullptr when none does.
const ProviderCatalogEntry* find_provider_catalog_entry(std::string_view name);

// The catalog key of `name`, or the normalized name itself when no entry matches. This is the
// catalog's resolution (aliases, '-' and ' ' folded into '_'); the registry's row
// canonicalization, canonical_provider_key in registry/normalization.h, is a narrower map.
std::string catalog_provider_key(std::string_view name);

// True exactly for the eleven local providers that can create new sessions.
bool is_provider_factory(std::string_view name);

}  // namespace tessik
