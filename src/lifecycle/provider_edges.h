// The provider edges: the three dispatchers that route a send, a create or a rename to the
// adapter of the provider concerned.
#pragma once

#include "providers/provider_edge_types.h"

namespace tessik {

// Routes by the normalized provider of the request. Dispatcher refusals ("tessik_mailbox",
// "remote", unknown providers) are failed results; adapter results come back unchanged.
CreateResult create_provider_session(const CreateRequest& request);

// Routes by the target row: the mailbox at once, every other provider after the target's
// normalization contract holds, on the key of its delivery binding.
DeliveryResult deliver_to_provider(const DeliveryRequest& request);

// Routes by the normalized provider of the target; the mailbox's name is reserved.
RenameResult rename_provider_session(const RenameRequest& request);

}  // namespace tessik
