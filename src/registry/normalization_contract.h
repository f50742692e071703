// The normalization contract a delivery target must satisfy.
#pragma once

#include "registry/normalization.h"

namespace tessik {

// The six contract conditions of a normalization check: schema, identity, surface, binding,
// verified binding, no conflict. Whether the row is enabled, sendable or in error is the
// caller's separate concern.
inline bool normalization_contract_holds(const NormalizationCheck& check) {
  return check.schema_valid && check.identity_complete && check.provider_surface_known &&
         check.delivery_binding_valid && check.delivery_binding_verified && check.conflict_free;
}

}  // namespace tessik
