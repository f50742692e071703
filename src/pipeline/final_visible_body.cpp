// Final visible body. The texts are read by assistants and by tooling that parses the
// send-back command, so every byte here is part of the format.
#include "pipeline/final_visible_body.h"

#include "base/text.h"

namespace tessik {
namespace {

constexpr std::string_view kUnresolvedHeader = "Message from unresolved Tessik sender:\n\n";
constexpr std::string_view kUnresolvedNameWarning =
    "TESSIK WARNING: Tessik could not resolve the sender agent name, so no send-back command "
    "is attached.";
constexpr std::string_view kNoSessionWarning =
    "TESSIK WARNING: Tessik could not resolve an exact sender session address, so no send-back "
    "command is attached.";
constexpr std::string_view kSendBackOpening =
    "After answering this message, send your complete reply back to the originating Tessik "
    "chat. You must call this MCP tool exactly once:\n"
    "mcp__tessik.tessik_send_message({\n";

bool has_reply_address(const SenderResolution& sender) {
  return sender.resolved && !trim(sender.sender_session_id).empty();
}

}  // namespace

std::string build_reply_instruction(const SenderResolution& sender, std::string_view /*test_id*/,
                                    std::string_view message_id) {
  if (!sender.resolved) return std::string(kUnresolvedNameWarning);
  if (trim(sender.sender_session_id).empty()) return std::string(kNoSessionWarning);
  std::string text(kSendBackOpening);
  text += "  \"to\": \"";
  append_json_escaped(text, trim(sender.sender_session_id));
  text += "\",\n  \"body\": \"<full reply>\"";
  const std::string id = trim(message_id);
  if (!id.empty()) {
    text += ",\n  \"sourceContext\": \"tessik-operation:";
    append_json_escaped(text, id);
    text += '"';
  }
  text += "\n})";
  return text;
}

FinalBody build_final_visible_body(const FinalBodyContext& context) {
  FinalBody result;
  const std::string instruction =
      build_reply_instruction(context.sender, context.test_id, context.message_id);
  if (has_reply_address(context.sender)) {
    result.final_visible_body =
        "Message from " + context.sender.sender + "\n\n" + context.body + "\n\n" + instruction;
    result.callback_expected = true;
    result.body_policy = kBodyPolicyResolvedSender;
  } else {
    result.final_visible_body =
        std::string(kUnresolvedHeader) + context.body + "\n\n" + instruction;
    result.body_policy = kBodyPolicyUnresolvedSender;
  }
  result.original_body_bytes = context.body.size();
  result.final_visible_body_bytes = result.final_visible_body.size();
  return result;
}

FinalBody already_final_visible_body(std::string_view body) {
  FinalBody result;
  result.final_visible_body = std::string(body);
  result.body_policy = kBodyPolicyAlreadyFinalVisible;
  result.original_body_bytes = body.size();
  result.final_visible_body_bytes = body.size();
  return result;
}

EnvelopeReading read_final_visible_envelope(std::string_view text, std::string_view sender) {
  EnvelopeReading reading;
  reading.body = std::string(text);
  const std::string resolved_header = "Message from " + std::string(sender) + "\n\n";
  const auto strip = [&](std::string_view header, std::string_view tail) {
    const std::size_t inner = header.size() + 2 + tail.size();
    if (text.size() < inner || !text.starts_with(header)) return false;
    if (text.substr(text.size() - tail.size() - 2, 2) != "\n\n") return false;
    reading.enveloped = true;
    reading.body = std::string(text.substr(header.size(), text.size() - inner));
    return true;
  };
  if (text.starts_with(kUnresolvedHeader)) {
    for (std::string_view warning : {kUnresolvedNameWarning, kNoSessionWarning})
      if (text.ends_with(warning) && strip(kUnresolvedHeader, warning)) return reading;
    return reading;
  }
  // The send-back command is the last block: its opening is searched from the end, because
  // the sender's own text may quote an earlier one.
  const std::size_t opening = text.rfind(kSendBackOpening);
  if (opening == std::string_view::npos || !text.ends_with("\n})")) return reading;
  if (strip(resolved_header, text.substr(opening))) reading.reply_address_known = true;
  return reading;
}

}  // namespace tessik
