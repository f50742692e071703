// Read-only routes under "/ui/api/" for the dashboard: what no A2A operation exposes (the
// mailbox messages, the delivery log, the push dead letters), newest first and bounded.
#pragma once

#include <cstddef>
#include <string_view>

#include "a2a/gateway/gateway_call.h"
#include "wire/envelope.h"

namespace tessik {

// Most entries one answer carries, whatever the caller asks for.
inline constexpr std::size_t kUiApiMaxEntries = 500;
// Characters of a mailbox body shown in a listing; the rest is cut ("bodyTruncated").
inline constexpr std::size_t kUiApiBodyPreviewBytes = 4000;

// Largest answer body: entries past it are left out ("truncated"), so an answer always fits
// the broker's frame whatever the files hold.
inline constexpr std::size_t kUiApiMaxAnswerBytes = 4u * 1024u * 1024u;

// The normalised, unscoped request path lies below "/ui/api/".
bool is_ui_api_path(std::string_view path);

// Answers one "/ui/api/..." request after authentication. Checks the method (GET only) and
// the "task.read" scope itself. Answers carry "Cache-Control: no-store". Unreadable files
// are reported in the answer, never thrown.
GatewayResponse handle_ui_api(const GatewayCall& call);

}  // namespace tessik
