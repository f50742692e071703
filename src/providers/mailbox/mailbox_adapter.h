// The built-in mailbox's delivery adapter: stores a delivery in the mailbox spool of the
// state directory.
#pragma once

#include "providers/provider_edge_types.h"

namespace tessik {

// Accepts only the built-in mailbox session. Every failure is returned (state "failed"),
// none is thrown except the state directory's own resolution error.
DeliveryResult deliver_to_mailbox(const DeliveryRequest& request);

}  // namespace tessik
