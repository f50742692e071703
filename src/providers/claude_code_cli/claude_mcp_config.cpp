// Preparing, verifying and publishing a Claude session's MCP configuration.
#include "providers/claude_code_cli/claude_mcp_config.h"

#include <nlohmann/json.hpp>
#include <system_error>

#include "base/json_depth.h"
#include "base/random.h"
#include "base/text.h"
#include "platform/durable_file.h"
#include "platform/files.h"
#include "providers/claude_code_cli/claude_session.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kMaxMarkerBytes = 64 * 1024;

std::string read_small_file(const fs::path& path, std::uintmax_t limit) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > limit) return {};
  std::FILE* file = platform::open_file_for_reading(path);
  if (file == nullptr) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
  std::fclose(file);
  return bytes;
}

std::string write_temporary(const fs::path& path, std::string_view text) {
  platform::remove_file_quietly(path);  // a leftover of an interrupted preparation
  int error = 0;
  const platform::FileHandle handle = platform::create_new_file(path, 0600, error);
  if (handle == platform::kInvalidFileHandle)
    return "could not open temporary Claude MCP configuration for writing";
  const bool written = platform::write_all(handle, text, error) && platform::flush_file(handle, error);
  const bool closed = platform::close_file(handle, error);
  if (!written || !closed) return "could not write temporary Claude MCP configuration";
  return {};
}

bool read_back_matches(const fs::path& path, const std::string& expected_text,
                       std::string_view provider_session_id, std::string_view sender_name,
                       const fs::path& tessik_executable, const fs::path& ready_marker) {
  const std::string text = read_small_file(path, expected_text.size() + 1);
  const auto has = [&](const std::string& needle) { return text.find(needle) != std::string::npos; };
  return has("\"tessik\"") &&
         has("\"--provider-session-id\", \"" + json_escape(provider_session_id) + "\"") &&
         has("\"" + json_escape(tessik_executable.string()) + "\"") &&
         has("\"" + json_escape(sender_name) + "\"") &&
         has("\"" + json_escape(ready_marker.string()) + "\"") && text == expected_text;
}

// "<configuration>.previous-<YYYYmmddTHHMMSSZ>-<8 random hex digits>".
fs::path previous_copy_path(const fs::path& configuration) {
  std::string stamp;
  for (char c : utc_timestamp_now()) {
    if (c != '-' && c != ':') stamp += c;
  }
  return configuration.string() + ".previous-" + stamp + "-" + random_hex_token().substr(0, 8);
}

// Every send rewrites the configuration; one previous copy per session is what a reader
// needs, so the older ones go once the newest is in place. Best effort: a copy that cannot be
// removed is left for the next run.
void remove_older_copies(const fs::path& configuration, const fs::path& kept) {
  const std::string prefix = configuration.filename().string() + ".previous-";
  std::error_code ec;
  fs::directory_iterator it(configuration.parent_path(), ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path& path = it->path();
    if (path != kept && path.filename().string().rfind(prefix, 0) == 0)
      platform::remove_file_quietly(path);
  }
}

std::string prepare_steps(const ClaudeMcpPaths& paths, std::string_view provider_session_id,
                          std::string_view sender_name, const fs::path& tessik_executable) {
  std::error_code ec;
  platform::create_private_directories(paths.configuration.parent_path(), ec);
  if (ec) return "could not create Claude MCP configuration directory: " + ec.message();
  fs::remove(paths.ready_marker, ec);
  if (ec) return "could not clear stale Claude MCP readiness marker";
  if (tessik_executable.empty() || !fs::is_regular_file(tessik_executable, ec))
    return "Tessik executable required by Claude MCP configuration was not found";

  const std::string text = claude_mcp_configuration_text(tessik_executable, provider_session_id,
                                                         sender_name, paths.ready_marker);
  const fs::path temporary = paths.configuration.string() + ".tmp";
  if (std::string error = write_temporary(temporary, text); !error.empty()) return error;
  if (!read_back_matches(temporary, text, provider_session_id, sender_name, tessik_executable,
                         paths.ready_marker)) {
    platform::remove_file_quietly(temporary);
    return "Claude MCP configuration readback validation failed";
  }
  fs::path previous;
  if (fs::exists(paths.configuration, ec)) {
    previous = previous_copy_path(paths.configuration);
    fs::copy_file(paths.configuration, previous, ec);
    if (ec) {
      platform::remove_file_quietly(temporary);
      return "could not preserve the previous Claude MCP configuration before replacement";
    }
  }
  int error = 0;
  if (!platform::replace_file(temporary, paths.configuration, error)) {
    platform::remove_file_quietly(temporary);
    return "could not atomically publish Claude MCP configuration: Windows error " +
           std::to_string(error);
  }
  if (!previous.empty()) remove_older_copies(paths.configuration, previous);
  return {};
}

}  // namespace

ClaudeMcpPaths claude_mcp_paths(std::string_view uuid) {
  const fs::path directory = mcp_directory();
  const std::string stem = "claude-code-cli-" + std::string(uuid);
  return {directory / (stem + ".json"), directory / (stem + ".ready.json")};
}

std::string claude_sender_name(std::string_view name, std::string_view uuid) {
  std::string trimmed = trim(name);
  return trimmed.empty() ? claude_fallback_name(uuid) : trimmed;
}

std::string claude_mcp_configuration_text(const fs::path& tessik_executable,
                                          std::string_view provider_session_id,
                                          std::string_view sender_name,
                                          const fs::path& ready_marker) {
  const std::string exe = json_escape(tessik_executable.string());
  const std::string session = json_escape(provider_session_id);
  const std::string sender = json_escape(sender_name);
  const std::string marker = json_escape(ready_marker.string());
  std::string text = "{\n  \"mcpServers\": {\n    \"tessik\": {\n";
  text += "      \"command\": \"" + exe + "\",\n";
  text += "      \"args\": [\"mcp-server\", \"--host\", \"claude-code-cli\", \"--provider\", "
          "\"claude_code_cli\", \"--provider-session-id\", \"" + session +
          "\", \"--sender-name\", \"" + sender + "\"],\n";
  text += "      \"env\": {\n";
  text += "        \"TESSIK_MCP_HOST\": \"claude-code-cli\",\n";
  text += "        \"TESSIK_MCP_PROVIDER\": \"claude_code_cli\",\n";
  text += "        \"TESSIK_PROVIDER_SESSION_ID\": \"" + session + "\",\n";
  text += "        \"TESSIK_SENDER_NAME\": \"" + sender + "\",\n";
  text += "        \"TESSIK_MCP_READY_FILE\": \"" + marker + "\"\n";
  text += "      }\n    }\n  }\n}\n";
  return text;
}

ClaudeMcpPreparation prepare_claude_mcp_configuration(std::string_view uuid,
                                                      std::string_view sender_name,
                                                      const fs::path& tessik_executable) {
  ClaudeMcpPreparation preparation;
  preparation.paths = claude_mcp_paths(uuid);
  preparation.error = prepare_steps(preparation.paths, claude_provider_session_id(uuid),
                                    sender_name, tessik_executable);
  return preparation;
}

bool claude_readiness_marker_ready(const fs::path& path, std::string_view provider_session_id) {
  const std::string text = read_small_file(path, kMaxMarkerBytes);
  if (text.empty() || !json_nesting_within(text)) return false;
  const nlohmann::json marker = nlohmann::json::parse(text, nullptr, false);
  if (!marker.is_object()) return false;
  const auto is = [&](const char* name, std::string_view expected) {
    const auto it = marker.find(name);
    return it != marker.end() && it->is_string() && it->get_ref<const std::string&>() == expected;
  };
  return is("state", "tools_list_ready") && is("provider", "claude_code_cli") &&
         is("provider_session_id", provider_session_id);
}

}  // namespace tessik
