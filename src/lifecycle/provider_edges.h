// The provider edges: the three dispatchers that route a send, a create or a rename to the
// adapter of the provider concerned, and the adapter table they look adapters up in.
#pragma once

#include <string_view>

#include "lifecycle/provider_edge_types.h"

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

// Routes by the normalized provider of the request. Dispatcher refusals ("tessik_mailbox",
// "remote", unknown providers) are failed results; adapter results come back unchanged.
CreateResult create_provider_session(const CreateRequest& request);

// Routes by the target row: the mailbox at once, every other provider after the target's
// normalization contract holds, on the key of its delivery binding.
DeliveryResult deliver_to_provider(const DeliveryRequest& request);

// Routes by the normalized provider of the target; the mailbox's name is reserved.
RenameResult rename_provider_session(const RenameRequest& request);

}  // namespace tessik
