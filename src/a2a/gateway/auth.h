// Who is calling the gateway: the principal the broker vouched for, the local bearer token,
// or a bearer token listed in "clients.tsv".
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "a2a/gateway/gateway_context.h"
#include "wire/envelope.h"

namespace tessik {

// A row of "clients.tsv": a Principal with `authenticated` true.
using A2aClientRecord = Principal;

struct AuthenticationResult {
  bool ok = false;
  Principal principal;    // the caller (anonymous when auth is off) when ok
  GatewayResponse error;  // the 401 or 503 answer when !ok
};

// Establishes the caller of `request`. Never throws for a bad token or a bad registry row;
// a file-system error while probing the client registry (other than "not found") propagates.
AuthenticationResult authenticate_a2a_request(const GatewayRequest& request,
                                              const GatewayContext& context);

// The principal a bearer token stands for, or nullopt when no source accepts it.
// Reads the client registry afresh on each call.
std::optional<Principal> verify_bearer_token(const GatewayContext& context, std::string_view token);

// The rows of a client registry in file order. A missing or unreadable file is an empty
// registry; rows with too few columns or blank required fields are skipped silently.
std::vector<A2aClientRecord> read_client_registry(const std::filesystem::path& path);

// The client registry the context names: `clients_path`, or <state>/a2a/clients.tsv.
std::filesystem::path client_registry_path_for(const GatewayContext& context);

}  // namespace tessik
