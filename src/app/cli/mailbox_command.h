// The "mailbox" command mode: lists the messages stored in the built-in mailbox, newest first,
// or prints one message's final visible body exactly.
#pragma once

#include <string>
#include <vector>

namespace tessik {

// `args` are the words after "mailbox": [--json] | --show MESSAGE_ID. Returns 0 on success,
// 2 for bad arguments, 1 when the message is not found or the state directory is unusable.
int run_mailbox_command(const std::vector<std::string>& args);

}  // namespace tessik
