// Mailbox send envelopes and the wait for detached workers to store their messages.
#include "support/send_envelope.h"

#include "providers/mailbox/mailbox_store.h"
#include "support/delivery_env.h"

namespace tessik::test {

std::string mailbox_send_envelope(const std::string& message_id, const std::string& text) {
  return R"({"version":1,"endpointUrl":"http://127.0.0.1:37661/a2a","request":{"method":"POST",)"
         R"("target":"/a2a/message:send","headers":{"Content-Type":"application/json",)"
         R"("A2A-Version":"1.0"},"body":"{\"message\":{\"messageId\":\")" +
         message_id + R"(\",\"role\":\"ROLE_USER\",\"parts\":[{\"text\":\")" + text +
         R"(\"}]}}"},)"
         R"("principal":{"authenticated":true,"clientId":"bench","principalType":"registry",)"
         R"("senderAgent":"bench-client","senderNode":"local","scopes":["agent.send"]}})";
}

std::size_t wait_for_mailbox_files(const std::filesystem::path& spool, std::size_t count,
                                   std::chrono::seconds limit) {
  std::size_t stored = 0;
  wait_until([&] { return (stored = mailbox_message_files(spool).size()) >= count; }, limit);
  return stored;
}

}  // namespace tessik::test
