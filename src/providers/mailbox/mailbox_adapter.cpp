// Mailbox delivery: the message the target would have seen, stored as one spool file.
#include "providers/mailbox/mailbox_adapter.h"

#include "base/text.h"
#include "providers/mailbox/mailbox_store.h"
#include "state/state_dir.h"

namespace tessik {

DeliveryResult deliver_to_mailbox(const DeliveryRequest& request) {
  DeliveryResult result;
  result.provider = kMailboxProvider;
  result.state = "failed";
  result.method = kMailboxDeliveryMethod;
  result.provider_session_id = kMailboxSessionId;
  if (request.target.provider_session_id != kMailboxSessionId) {
    result.error = "mailbox target has an unsupported provider_session_id";
    result.evidence = std::string("expected=") + kMailboxSessionId +
                      " actual=" + request.target.provider_session_id;
    return result;
  }

  MailboxMessage message;
  message.message_id = request.message_id;
  message.test_id = request.test_id;
  message.received_at = utc_timestamp_now();
  message.target_display_name = request.target.display_name;
  message.sender_resolved = request.sender.resolved;
  message.sender_name = request.sender.sender;
  message.sender_node = request.sender.node_id;
  message.sender_source = request.sender.source;
  message.final_visible_body = request.final_visible_body;

  const std::filesystem::path spool = mailbox_messages_directory();
  const MailboxWriteResult written = write_mailbox_message(spool, std::move(message));
  if (!written.ok) {
    result.error = written.error;
    result.evidence = "mailbox_directory=" + spool.string();
    return result;
  }
  result.state = "accepted_by_provider";
  result.accepted = true;
  result.display_name = "Tessik Mailbox";
  result.evidence = "committed_path=" + written.committed_path.string() +
                    " stored_bytes=" + std::to_string(written.stored_bytes) +
                    " idempotent=" + (written.idempotent ? "true" : "false");
  return result;
}

}  // namespace tessik
