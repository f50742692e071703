// The adapter interface every assistant surface implements, and the table of adapters by
// canonical provider key. This folder holds the adapters (one subfolder each) and what they
// share: the provider catalog, the edge request and result records, tool location.
#pragma once

#include <string_view>

#include "providers/provider_edge_types.h"

namespace tessik {

// One assistant surface's adapter. An adapter answers every operation: one it cannot perform
// returns state "failed" with a method naming why, promptly; nothing here may block without
// a time-out. Adapters may throw only for broken invariants and file-system failures; the
// dispatchers let such exceptions through to their callers.
class ProviderAdapter {
 public:
  virtual ~ProviderAdapter() = default;
  virtual DeliveryResult deliver(const DeliveryRequest& request) const = 0;
  virtual CreateResult create(const CreateRequest& request) const = 0;
  virtual RenameResult rename(const RenameRequest& request) const = 0;
};

// The adapter registered for a canonical provider key ("a2a" included), or nullptr. The table
// is built once and immutable; adapters are shared and must be safe to call from any thread.
const ProviderAdapter* find_provider_adapter(std::string_view key);

}  // namespace tessik
