// The broker envelope of one SendMessage to the built-in mailbox from a registry client, as
// benchmarks and integration tests send it straight to the broker socket.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

namespace tessik::test {

// An envelope whose message has id `message_id` and one text part `text` (both plain ASCII
// without quotes or backslashes), sent by the principal "bench-client" with scope agent.send.
std::string mailbox_send_envelope(const std::string& message_id, const std::string& text);

// Waits until `spool` holds at least `count` message files or `limit` has passed; returns how
// many it holds then.
std::size_t wait_for_mailbox_files(const std::filesystem::path& spool, std::size_t count,
                                   std::chrono::seconds limit);

}  // namespace tessik::test
