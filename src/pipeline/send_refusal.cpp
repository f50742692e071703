// Refusal wording for unresolved targets, and the live upstream outbox write.
#include "pipeline/send_refusal.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "base/text.h"
#include "pipeline/send_pipeline.h"
#include "platform/files.h"

namespace tessik {
namespace {

bool has_note(const DiscoveryReport& report, std::string_view wanted) {
  const std::string key = ascii_lower(trim(wanted));
  for (const std::string& note : report.notes) {
    if (ascii_lower(trim(note)) == key) return true;
  }
  return false;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += " | ";
    text += parts[i];
  }
  return text;
}

void append_member(std::string& line, const char* key, std::string_view value) {
  line += ',';
  append_json_string_member(line, key, value);
}

}  // namespace

std::string unresolved_target_error(const DiscoveryReport& report) {
  std::string error;
  if (has_note(report, "Target name is ambiguous.")) {
    error = "target name is ambiguous; use an exact provider session id. ";
  } else if (has_note(report, "No remote Tessik nodes are registered.")) {
    error =
        "target is not in registry after targeted discovery. No remote Tessik nodes are "
        "registered. ";
  } else if (report.evidence_only_matches == 0) {
    error = "target is not in registry after targeted discovery. ";
  } else {
    error = "target evidence found but no sendable exact target row was discovered. ";
  }
  error += "targeted discovery searched providers for exact target";
  error += "; rows_found=" + std::to_string(report.discovered.size());
  error += "; enrolled=" + std::to_string(report.enrolled);
  error += "; updated=" + std::to_string(report.updated);
  error += "; skipped=" + std::to_string(report.skipped);
  error += "; evidence_only_matches=" + std::to_string(report.evidence_only_matches);
  if (!report.notes.empty()) error += "; issues=" + joined(report.notes);
  if (!report.discovered.empty()) {
    std::vector<std::string> candidates;
    for (const DiscoveredCandidate& c : report.discovered) {
      candidates.push_back(c.provider + "/" + c.node_id + "/" + c.display_name + "/" +
                           c.provider_session_id + "/sendable=" + (c.sendable ? "true" : "false"));
    }
    error += "; discovered=" + joined(candidates);
  }
  return error;
}

void append_live_upstream_message(std::string_view outbox_path, std::string_view message_id,
                                  std::string_view target, std::string_view body,
                                  std::string_view from, std::string_view from_node) {
  const std::string trimmed = trim(outbox_path);
  if (trimmed.empty()) throw std::runtime_error("live upstream outbox path is empty");
  const std::filesystem::path path(trimmed);
  if (path.has_parent_path()) {
    std::error_code error;
    platform::create_private_directories(path.parent_path(), error);
    if (error) {
      throw std::runtime_error("could not create live upstream outbox directory: " +
                               error.message());
    }
  }
  std::string line = "{\"type\":\"upstream_message\"";
  append_member(line, "message_id", message_id);
  append_member(line, "target", target);
  append_member(line, "body", body);
  append_member(line, "from", from);
  append_member(line, "from_node", from_node);
  line += "}\n";
  // One append per line, so concurrent relays never interleave inside a message.
  if (!platform::append_to_file(path, line)) {
    throw std::runtime_error("could not open live upstream outbox: " + path.string());
  }
}

}  // namespace tessik
