// The dashboard's own read-only routes. Each reads a bounded slice of one state file, so a
// large log costs a fixed amount of work per refresh.
#include "a2a/gateway/ui_routes.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <nlohmann/json.hpp>

#include "a2a/gateway/error_catalog.h"
#include "a2a/gateway/errors.h"
#include "a2a/gateway/request_fields.h"
#include "a2a/gateway/scopes.h"
#include "a2a/push/push_delivery.h"
#include "base/json_depth.h"
#include "base/text.h"
#include "pipeline/final_visible_body.h"
#include "platform/files.h"
#include "providers/mailbox/mailbox_store.h"
#include "state/jsonl_tail.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

using nlohmann::json;

constexpr std::string_view kPrefix = "/ui/api/";
constexpr std::size_t kDefaultEntries = 100;
// The newest part of a log a listing looks at; older records need the file itself.
constexpr std::uint64_t kLogWindowBytes = 2u * 1024u * 1024u;

std::size_t requested_limit(const GatewayRequest& request) {
  const std::optional<std::string> text = query_parameter(request.target, "limit");
  std::size_t limit = kDefaultEntries;
  if (text) {
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), limit);
    if (error != std::errc() || end != text->data() + text->size() || limit == 0) {
      limit = kDefaultEntries;
    }
  }
  return std::min(limit, kUiApiMaxEntries);
}

// Appends `entry` while the answer stays within kUiApiMaxAnswerBytes; false once it would not.
bool append_within_budget(json& entries, json entry, std::size_t& used) {
  const std::size_t size = entry.dump(-1, ' ', false, json::error_handler_t::replace).size() + 1;
  if (used + size > kUiApiMaxAnswerBytes) return false;
  used += size;
  entries.push_back(std::move(entry));
  return true;
}

GatewayResponse no_store_json(const json& document) {
  GatewayResponse response;
  response.status = 200;
  response.content_type = "application/json";
  response.headers["Cache-Control"] = "no-store";
  response.body = document.dump(-1, ' ', false, json::error_handler_t::replace);
  return response;
}

// Cuts at a UTF-8 boundary at or below `limit` bytes.
std::string utf8_prefix(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  return std::string(text.substr(0, cut));
}

json mailbox_entry(const MailboxMessage& message) {
  json entry = {{"file", message.file_path.filename().string()}, {"failed", message.failed}};
  if (message.failed) {
    entry["error"] = message.error;
    return entry;
  }
  // The sender's own words, without the delivery preamble every stored body starts with.
  const std::string body =
      read_final_visible_envelope(message.final_visible_body, message.sender_name).body;
  entry["messageId"] = message.message_id;
  entry["receivedAt"] = message.received_at;
  entry["target"] = message.target_display_name;
  entry["senderName"] = message.sender_name;
  entry["senderNode"] = message.sender_node;
  entry["senderResolved"] = message.sender_resolved;
  entry["body"] = utf8_prefix(body, kUiApiBodyPreviewBytes);
  entry["bodyTruncated"] = body.size() > kUiApiBodyPreviewBytes;
  entry["bodyBytes"] = message.body_bytes;
  return entry;
}

GatewayResponse mailbox_listing(std::size_t limit) {
  std::vector<std::filesystem::path> files = mailbox_message_files(mailbox_messages_directory());
  // File names start with the receipt time, so name order is arrival order.
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a.filename() > b.filename(); });
  json messages = json::array();
  std::size_t used = 0;
  std::size_t shown = 0;
  while (shown < files.size() && shown < limit &&
         append_within_budget(messages, mailbox_entry(read_mailbox_message_file(files[shown])),
                              used)) {
    ++shown;
  }
  return no_store_json({{"schemaVersion", 1},
                        {"messages", std::move(messages)},
                        {"total", files.size()},
                        {"truncated", shown < files.size()}});
}

json log_entry(const std::string& line) {
  if (json_nesting_within(line)) {
    json parsed = json::parse(line, nullptr, false);
    if (parsed.is_object()) return parsed;
  }
  return {{"unreadable", true}, {"line", utf8_prefix(line, kUiApiBodyPreviewBytes)}};
}

// The last listing of each log, answered again while the file is unchanged (same file, size
// and modification time): the dashboard asks on every refresh, and these logs change rarely.
class ListingCache {
 public:
  std::optional<GatewayResponse> find(const std::filesystem::path& path, std::size_t limit,
                                      const platform::FileIdentity& identity) {
    const std::lock_guard lock(mutex_);
    for (const Listing& listing : listings_) {
      if (listing.path == path && listing.limit == limit && listing.identity == identity) {
        return listing.response;
      }
    }
    return std::nullopt;
  }

  void store(const std::filesystem::path& path, std::size_t limit,
             const platform::FileIdentity& identity, const GatewayResponse& response) {
    const std::lock_guard lock(mutex_);
    std::erase_if(listings_, [&](const Listing& listing) { return listing.path == path; });
    // A handful of logs per broker; past that the oldest listing goes.
    if (listings_.size() >= kMaxListings) listings_.erase(listings_.begin());
    listings_.push_back({path, limit, identity, response});
  }

 private:
  static constexpr std::size_t kMaxListings = 4;
  struct Listing {
    std::filesystem::path path;
    std::size_t limit;
    platform::FileIdentity identity;
    GatewayResponse response;
  };
  std::mutex mutex_;
  std::vector<Listing> listings_;
};

ListingCache& listing_cache() {
  static ListingCache* const cache = new ListingCache();  // outlives every static user
  return *cache;
}

GatewayResponse read_log_listing(const std::filesystem::path& path, std::size_t limit) {
  const JsonlTail tail = read_jsonl_tail(path, kLogWindowBytes, limit);
  json entries = json::array();
  std::size_t used = 0;
  bool truncated = tail.truncated;
  for (auto line = tail.lines.rbegin(); line != tail.lines.rend(); ++line) {
    if (!append_within_budget(entries, log_entry(*line), used)) {
      truncated = true;
      break;
    }
  }
  return no_store_json({{"schemaVersion", 1},
                        {"recorded", tail.exists},
                        {"entries", std::move(entries)},
                        {"truncated", truncated}});
}

GatewayResponse log_listing(const std::filesystem::path& path, std::size_t limit) {
  const std::optional<platform::FileIdentity> before = platform::file_identity(path);
  if (!before) return read_log_listing(path, limit);
  if (std::optional<GatewayResponse> cached = listing_cache().find(path, limit, *before)) {
    return std::move(*cached);
  }
  GatewayResponse response = read_log_listing(path, limit);
  // Kept only when nothing was appended while it was read.
  if (platform::file_identity(path) == before) listing_cache().store(path, limit, *before, response);
  return response;
}

}  // namespace

bool is_ui_api_path(std::string_view path) {
  return path.starts_with(kPrefix);
}

GatewayResponse handle_ui_api(const GatewayCall& call) {
  if (call.method != "get") return route_not_found_error();
  if (scope_denied(call.principal, "task.read", call.context)) {
    return scope_denied_error(scope_message::kReadTasks);
  }
  const std::string_view route = std::string_view(call.paths.path).substr(kPrefix.size());
  const std::size_t limit = requested_limit(call.request);
  try {
    if (route == "mailbox") return mailbox_listing(limit);
    if (route == "deliveries") return log_listing(delivery_log_path(), limit);
    if (route == "push-dead-letters")
      return log_listing(push_queue_paths(call.context).dead_letter, limit);
  } catch (const StateDirectoryError& failure) {
    return make_http_error(500, "TESSIK_UI_STATE_UNAVAILABLE", failure.what());
  }
  return route_not_found_error();
}

}  // namespace tessik
