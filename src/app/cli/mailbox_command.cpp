// `tessik mailbox`: what the built-in mailbox received, so a send can be checked by eye or by
// script. Broken spool files are listed with their error rather than hidden.
#include "app/cli/mailbox_command.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <nlohmann/json.hpp>
#include <string_view>

#include "app/cli/cli_output.h"
#include "base/text.h"
#include "pipeline/final_visible_body.h"
#include "providers/mailbox/mailbox_store.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

// Newest first; the file name breaks ties so the order is stable between runs.
void sort_newest_first(std::vector<MailboxMessage>& messages) {
  std::sort(messages.begin(), messages.end(), [](const MailboxMessage& a, const MailboxMessage& b) {
    if (a.received_at != b.received_at) return a.received_at > b.received_at;
    return a.file_path.filename() > b.file_path.filename();
  });
}

std::string first_line(std::string_view body) {
  return std::string(body.substr(0, body.find('\n')));
}

nlohmann::json to_json(const MailboxMessage& m) {
  nlohmann::json out = nlohmann::json::object();
  out["file_path"] = m.file_path.string();
  out["failed"] = m.failed;
  if (m.failed) {
    out["error"] = m.error;
    return out;
  }
  out["schema_version"] = m.schema_version;
  out["message_id"] = m.message_id;
  out["test_id"] = m.test_id;
  out["received_at"] = m.received_at;
  out["target_display_name"] = m.target_display_name;
  out["provider"] = m.provider;
  out["provider_session_id"] = m.provider_session_id;
  out["sender_resolved"] = m.sender_resolved;
  out["sender_name"] = m.sender_name;
  out["sender_node"] = m.sender_node;
  out["sender_source"] = m.sender_source;
  out["final_visible_body"] = m.final_visible_body;
  out["sender_reply_address_known"] =
      read_final_visible_envelope(m.final_visible_body, m.sender_name).reply_address_known;
  out["body_bytes"] = m.body_bytes;
  out["delivery_method"] = m.delivery_method;
  return out;
}

int list(const std::vector<MailboxMessage>& messages, bool as_json) {
  if (as_json) {
    nlohmann::json array = nlohmann::json::array();
    for (const MailboxMessage& m : messages)
      array.push_back(to_json(m));
    write_stdout(array.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    return 0;
  }
  CliTable table{{"ID", "RECEIVED", "FROM", "REPLY", "TO", "MESSAGE"}, {}};
  for (const MailboxMessage& m : messages) {
    if (m.failed) {
      table.rows.push_back({"FAILED", m.file_path.filename().string(), "", "", "", m.error});
      continue;
    }
    // The envelope's header speaks of the reply address, not of the name: show the sender's
    // own first line and say plainly whether the assistant was told how to answer.
    const EnvelopeReading envelope = read_final_visible_envelope(m.final_visible_body, m.sender_name);
    const char* reply = !envelope.enveloped              ? "relayed"
                        : envelope.reply_address_known ? "reply-by-tool"
                                                       : "no-reply-address";
    table.rows.push_back({m.message_id, m.received_at, m.sender_name, reply,
                          m.target_display_name, preview_text(first_line(envelope.body), 80)});
  }
  return print_listing(table, "tessik mailbox: no stored messages");
}

// An exact id wins; otherwise the one id that starts with `wanted`.
int show(const std::vector<MailboxMessage>& messages, const std::string& wanted) {
  const MailboxMessage* found = nullptr;
  std::size_t prefixed = 0;
  for (const MailboxMessage& m : messages) {
    if (m.failed) continue;
    if (m.message_id == wanted) {
      found = &m;
      prefixed = 1;
      break;
    }
    if (m.message_id.starts_with(wanted)) {
      found = &m;
      ++prefixed;
    }
  }
  if (prefixed == 1) {
    write_stdout(found->final_visible_body);
    return 0;
  }
  print_mode_error("mailbox", prefixed == 0 ? "no stored message with id " + wanted
                                            : std::to_string(prefixed) +
                                                  " stored messages have ids starting with " +
                                                  wanted + "; give more of the id");
  return 1;
}

constexpr const char* kUsage =
    "usage: tessik mailbox [--json] | --show MESSAGE_ID\n"
    "  lists the messages the built-in mailbox received, newest first;\n"
    "  --show prints one message exactly as stored (a unique id prefix is enough)\n";

int usage(const std::string& problem) {
  print_mode_error("mailbox", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int run_mailbox_command(const std::vector<std::string>& args) {
  if (asks_for_help(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  bool as_json = false;
  std::string wanted;
  bool showing = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--json") {
      as_json = true;
    } else if (args[i] == "--show") {
      if (i + 1 >= args.size()) return usage("--show needs a message id");
      showing = true;
      wanted = trim(args[++i]);
    } else {
      return usage("unknown argument: " + args[i]);
    }
  }
  if (showing && as_json) return usage("--show and --json cannot be combined");
  // An id that could not have been stored is refused before the spool is read.
  if (showing && !is_safe_mailbox_message_id(wanted)) {
    return usage("message id is empty or contains unsafe filename characters");
  }
  try {
    std::vector<MailboxMessage> messages = read_mailbox_messages(mailbox_messages_directory());
    sort_newest_first(messages);
    return showing ? show(messages, wanted) : list(messages, as_json);
  } catch (const std::exception& error) {
    print_mode_error("mailbox", error.what());
    return 1;
  }
}

}  // namespace tessik
