// The "agents.tsv" codec and the unlocked snapshot read: tolerant row parsing, sanitizing,
// rendering byte for byte, and the built-in mailbox row.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <system_error>

#include "base/sha256.h"
#include "base/text.h"
#include "base/tsv.h"
#include "registry/normalization.h"
#include "registry/registry.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

constexpr std::string_view kHeader =
    "agent_id\tdisplay_name\taliases\tprovider\tprovider_session_id\tnode_id\tenabled\t"
    "sendable\tsource\tfirst_seen_at\tlast_seen_at\tlast_verified_at\tlast_error\t"
    "normalization_schema\tprovider_surface\tdelivery_binding\tresponse_identity_binding\t"
    "delivery_binding_verified\tpublic_agent_id\tdelivery_verification_source\t"
    "normalization_provenance\tnormalization_confidence\tnormalization_conflict_state";

bool is_blank(std::string_view text) {
  return trim_view(text).empty();
}

bool is_ascii(std::string_view text) {
  unsigned char any = 0;
  for (char c : text)
    any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

void repair_in_place(std::string& text) {
  if (!is_ascii(text) && !is_valid_utf8(text)) text = repair_utf8(text);
}

// Shared by reading and rendering, so a row reads back exactly as it was written.
void sanitize_and_normalize(AgentRecord& record) {
  for (std::string* field :
       {&record.agent_id, &record.provider, &record.provider_session_id, &record.node_id,
        &record.source, &record.first_seen_at, &record.last_seen_at, &record.last_verified_at,
        &record.last_error, &record.display_name}) {
    repair_in_place(*field);
  }
  std::erase_if(record.aliases,
                [](const std::string& alias) { return is_blank(alias) || !is_valid_utf8(alias); });
  normalize_agent_record(record);
}

// Appends `text` with tabs and line breaks made spaces; bulk-copies the runs between them.
void append_field(std::string& out, std::string_view text) {
  bool separators = false;
  for (char c : text)
    separators |= (c == '\t') | (c == '\n') | (c == '\r');
  if (!separators) {
    out.append(text);
    return;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\t' && c != '\n' && c != '\r') continue;
    out.append(text.data() + start, i - start);
    out.push_back(' ');
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

void append_bool(std::string& out, bool value) {
  out += value ? "true" : "false";
}

std::string read_whole_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw RegistryError("could not read registry: " + path.string());
  // Read straight into a buffer of the expected size, then whatever else is there: the file
  // may hold thousands of rows and is read on every request.
  std::error_code ec;
  const std::uintmax_t expected = std::filesystem::file_size(path, ec);
  std::string content(ec ? 0 : static_cast<std::size_t>(expected), '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(in.gcount()));
  char block[1 << 14];
  while (in && (in.read(block, sizeof block) || in.gcount() > 0)) {
    content.append(block, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) throw RegistryError("could not finish reading registry: " + path.string());
  return content;
}

}  // namespace

AgentRecord builtin_mailbox_record() {
  AgentRecord record;
  record.agent_id = kMailboxAgentId;
  record.display_name = "Tessik Mailbox";
  record.aliases = {"mailbox", "tessik-mailbox", "tessik_mailbox"};
  record.provider = kMailboxProvider;
  record.provider_session_id = kMailboxSessionId;
  record.node_id = "local";
  record.enabled = true;
  record.sendable = true;
  record.source = "builtin_tessik_mailbox";
  record.first_seen_at = "builtin";
  record.last_seen_at = "builtin";
  record.last_verified_at = "builtin";
  return record;
}

bool is_builtin_mailbox(const AgentRecord& record) {
  return record.provider_session_id == kMailboxSessionId;
}

Registry default_registry() {
  return Registry(agents_registry_path());
}

std::string_view registry_header_line() {
  return kHeader;
}

bool parse_bool_field(std::string_view text) {
  const std::string value = ascii_lower(trim(text));
  return value == "1" || value == "true" || value == "yes" || value == "enabled";
}

std::int32_t parse_int_field(std::string_view text) {
  const std::string value = trim(text);
  std::int32_t number = 0;
  const char* first = value.data();
  const char* last = value.data() + value.size();
  if (!value.empty() && *first == '+') ++first;  // strtol-style leading plus
  const auto [end, ec] = std::from_chars(first, last, number);
  if (ec != std::errc() || end != last || first == last) return 0;
  return number;
}

namespace {

// Fills `r` (default-constructed) from one line; false for a line of fewer than 13 fields.
// Works on views of the line so a row costs only the allocations of its own text.
bool parse_agent_row_into(std::string_view line, AgentRecord& r) {
  constexpr std::size_t kColumns = 23;
  std::array<std::string_view, kColumns> f;
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = line.find('\t', start);
    if (count < kColumns)
      f[count] = line.substr(start, end == std::string_view::npos ? end : end - start);
    ++count;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (count < 13) return false;
  r.agent_id = f[0];
  r.display_name = f[1];
  for (std::string_view alias : split_fields(f[2], '|'))
    r.aliases.emplace_back(alias);
  r.provider = f[3];
  r.provider_session_id = f[4];
  r.node_id = f[5];
  r.enabled = parse_bool_field(f[6]);
  r.sendable = parse_bool_field(f[7]);
  r.source = f[8];
  r.first_seen_at = f[9];
  r.last_seen_at = f[10];
  r.last_verified_at = f[11];
  r.last_error = f[12];
  if (count >= 18) {
    r.normalization_schema = f[13];
    r.provider_surface = f[14];
    r.delivery_binding = f[15];
    r.response_identity_binding = f[16];
    r.delivery_binding_verified = parse_bool_field(f[17]);
  }
  if (count >= 23) {
    r.public_agent_id = f[18];
    r.delivery_verification_source = f[19];
    r.normalization_provenance = f[20];
    r.normalization_confidence = parse_int_field(f[21]);
    r.normalization_conflict_state = f[22];
  }
  sanitize_and_normalize(r);
  return true;
}

}  // namespace

std::optional<AgentRecord> parse_agent_row(std::string_view line) {
  AgentRecord record;
  if (!parse_agent_row_into(line, record)) return std::nullopt;
  return record;
}

std::string format_agent_row(const AgentRecord& record) {
  AgentRecord r = record;
  sanitize_and_normalize(r);
  std::string out;
  out.reserve(512);
  auto text = [&](std::string_view value) {
    append_field(out, value);
    out.push_back('\t');
  };
  text(r.agent_id);
  text(r.display_name);
  for (std::size_t i = 0; i < r.aliases.size(); ++i) {
    if (i > 0) out.push_back('|');
    append_field(out, r.aliases[i]);
  }
  out.push_back('\t');
  text(r.provider);
  text(r.provider_session_id);
  text(r.node_id);
  append_bool(out, r.enabled);
  out.push_back('\t');
  append_bool(out, r.sendable);
  out.push_back('\t');
  text(r.source);
  text(r.first_seen_at);
  text(r.last_seen_at);
  text(r.last_verified_at);
  text(r.last_error);
  text(r.normalization_schema);
  text(r.provider_surface);
  text(r.delivery_binding);
  text(r.response_identity_binding);
  append_bool(out, r.delivery_binding_verified);
  out.push_back('\t');
  text(r.public_agent_id);
  text(r.delivery_verification_source);
  text(r.normalization_provenance);
  out += std::to_string(r.normalization_confidence);
  out.push_back('\t');
  append_field(out, r.normalization_conflict_state);
  return out;
}

std::string render_registry(const std::vector<AgentRecord>& records) {
  std::string out;
  out.reserve(kHeader.size() + 1 + records.size() * 512);
  out += kHeader;
  out.push_back('\n');
  for (const AgentRecord& record : records) {
    out += format_agent_row(record);
    out.push_back('\n');
  }
  return out;
}

RegistrySnapshot read_registry_snapshot(const std::filesystem::path& path) {
  RegistrySnapshot snapshot;
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  const bool missing = status.type() == std::filesystem::file_type::not_found;
  if (ec && !missing) throw RegistryError("could not inspect registry: " + ec.message());
  if (!missing) {
    // Something that is not a regular file (a directory, a device) cannot be read as one.
    if (!std::filesystem::is_regular_file(status)) {
      throw RegistryError("could not read registry: " + path.string());
    }
    snapshot.content = read_whole_file(path);
    snapshot.metadata.exists = true;
    snapshot.metadata.size = snapshot.content.size();
    snapshot.metadata.sha256 = sha256_hex(snapshot.content);
  }
  const std::vector<std::string_view> lines = split_fields(snapshot.content, '\n');
  snapshot.rows.reserve(lines.size() + 1);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == 0 && lines[i].starts_with("agent_id\t")) continue;
    if (is_blank(lines[i])) continue;
    if (!parse_agent_row_into(lines[i], snapshot.rows.emplace_back())) snapshot.rows.pop_back();
  }
  const bool has_mailbox = std::any_of(snapshot.rows.begin(), snapshot.rows.end(),
                                       [](const AgentRecord& r) { return is_builtin_mailbox(r); });
  if (!has_mailbox) {
    // Normalized like every row read from the file, so the row looks the same before and
    // after the first commit writes it.
    AgentRecord mailbox = builtin_mailbox_record();
    normalize_agent_record(mailbox);
    snapshot.rows.push_back(std::move(mailbox));
    snapshot.metadata.mailbox_added = true;
  }
  return snapshot;
}

}  // namespace tessik
