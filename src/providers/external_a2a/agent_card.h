// Agent Cards of external A2A agents: fetching one over HTTP, validating it, and choosing the
// interface (HTTP+JSON or JSON-RPC, protocol 1.0 or 0.3) and the security requirement.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/http_client.h"

namespace tessik {

// The interface a card offers that this client speaks.
struct ExternalAgentInterface {
  std::string url;
  std::string protocol_binding;  // "HTTP+JSON" or "JSONRPC"
  std::string protocol_version;  // "1.0" or "0.3"
  std::string tenant;
};

// The one security requirement outbound delivery uses: a single declared scheme.
struct ExternalSecurityRequirement {
  std::string scheme_name;
  std::string scheme_kind;  // see security_scheme_kind; empty when no requirement was usable
  std::string scopes;       // space-separated
};

// A parsed card. `error` is empty when the card is usable; otherwise it holds the first
// validation failure and the other fields may be partly filled.
struct ExternalAgentCard {
  std::string raw_json;
  std::string sha256;
  std::string name;
  std::string provider_organization;
  std::string description;
  std::string version;
  ExternalAgentInterface chosen_interface;
  std::string skills_json;                 // compact JSON, "" when absent
  std::string security_schemes_json;       // compact JSON, "" when absent
  std::string security_requirements_json;  // compact JSON, "" when absent
  bool has_signatures = false;
  ExternalSecurityRequirement requirement;
  std::string requirement_error;  // why no requirement was chosen; not a card error
  std::string token_url;
  std::string authorization_url;
  std::string oauth2_metadata_url;
  std::string openid_connect_url;
  std::string error;
};

// The base URL without a trailing "/", "/.well-known/agent-card.json" or
// "/.well-known/agent.json".
std::string agent_card_base_url(std::string_view url);

// Validates `card_text`; never throws. `base_url` is recorded, not fetched; `expected_name`
// is used as the name when the card names no one (empty: the card must name itself).
ExternalAgentCard parse_agent_card(std::string_view card_text, std::string_view base_url,
                                   std::string_view expected_name);

// The outcome of a card fetch: the parsed card (its `error` set on any failure) and the URL
// that answered.
struct AgentCardFetch {
  ExternalAgentCard card;
  std::string card_url;
};

// GETs "<base>/.well-known/agent-card.json", then "<base>/.well-known/agent.json" when the
// first answers with a non-2xx status (a transport failure is final), without proxy or redirects,
// bounded by the HTTP client's limits. `options` carries certificates and address pinning; proxy
// and redirects are forced off. Blocking; safe from any thread; failures come back in card.error.
AgentCardFetch fetch_agent_card(std::string_view base_url, const HttpHeaders& extra_headers,
                                HttpRequestOptions options = {});

// The registry options ("a2a:key=value" aliases) that a card fetched from `fetch.card_url`
// gives its agent: where the card is, what it hashed to, the interface and the auth scheme
// with its endpoints and scopes. Only for a card without error.
std::vector<std::string> agent_card_options(const AgentCardFetch& fetch);

// The kind of one declared scheme from its compact JSON: "oidc", "oauth2", "http-bearer",
// "http-auth", "api-key", "mtls", or "" when none applies.
std::string security_scheme_kind(std::string_view scheme_json);

}  // namespace tessik
