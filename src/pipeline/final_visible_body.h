// The final visible body: the exact text a target assistant sees, the sender's text wrapped
// in an envelope that names the sender and, when it has an exact reply address, tells the
// assistant how to send its answer back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "registry/sender_resolution.h"

namespace tessik {

// The body policy words. The first two are the envelopes built here; the others are set by
// the pipeline for relayed bodies and by the create workflow for Claude initial messages.
inline constexpr char kBodyPolicyResolvedSender[] = "resolved_sender_envelope";
inline constexpr char kBodyPolicyUnresolvedSender[] = "unresolved_sender_envelope";
inline constexpr char kBodyPolicyAlreadyFinalVisible[] = "already_final_visible";
inline constexpr char kBodyPolicyClaudePlainEnglish[] = "claude_plain_english_reply_route";

struct FinalBodyContext {
  std::string body;  // the sender's text, embedded unchanged
  SenderResolution sender;
  std::string target_display_name;
  std::string test_id;
  std::string message_id;
};

struct FinalBody {
  std::string final_visible_body;
  bool callback_expected = false;
  std::string body_policy;
  std::uint64_t original_body_bytes = 0;
  std::uint64_t final_visible_body_bytes = 0;
};

// Pure: no files, no events.
FinalBody build_final_visible_body(const FinalBodyContext& context);

// The envelope's last block: one of the two warnings, or the six-line send-back command.
std::string build_reply_instruction(const SenderResolution& sender, std::string_view test_id,
                                    std::string_view message_id);

// A body that already is final visible (relayed from another node): kept byte for byte.
FinalBody already_final_visible_body(std::string_view body);

// What a stored final visible body says, read back from its envelope, so that tools showing
// a message speak of the sender as the assistant saw it. `sender` is the stored sender name
// the envelope was built with.
struct EnvelopeReading {
  bool enveloped = false;            // false: relayed or create bodies carry no envelope of ours
  bool reply_address_known = false;  // the send-back command is attached
  std::string body;                  // the sender's own text; the whole text when not enveloped
};
EnvelopeReading read_final_visible_envelope(std::string_view text, std::string_view sender);

}  // namespace tessik
