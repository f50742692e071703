// Request file writing and reading. The line is built by hand with the shared escaper so its
// bytes are fixed; reading uses the JSON library, which accepts any valid spelling.
#include "pipeline/delivery_request.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "base/json_depth.h"
#include "base/random.h"
#include "base/text.h"
#include "platform/durable_file.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/temp_directory.h"
#include "registry/lock_publish.h"

namespace tessik {
namespace fs = std::filesystem;
namespace {

using Members = std::vector<std::pair<const char*, std::string>>;

const char* bool_text(bool value) {
  return value ? "true" : "false";
}

Members request_members(const DeliveryRequest& r, std::string_view mode) {
  return {{"type", kDeliveryRequestType},
          {"mode", std::string(mode)},
          {"test_id", r.test_id},
          {"message_id", r.message_id},
          {"target_agent_id", r.target.agent_id},
          {"target_public_agent_id", r.target.public_agent_id},
          {"target_display_name", r.target.display_name},
          {"target_provider", r.target.provider},
          {"target_provider_session_id", r.target.provider_session_id},
          {"target_node_id", r.target.node_id},
          {"target_normalization_schema", r.target.normalization_schema},
          {"target_provider_surface", r.target.provider_surface},
          {"target_delivery_binding", r.target.delivery_binding},
          {"target_response_identity_binding", r.target.response_identity_binding},
          {"target_delivery_verification_source", r.target.delivery_verification_source},
          {"sender_resolved", bool_text(r.sender.resolved)},
          {"sender_agent", r.sender.sender},
          {"sender_reply_address", r.sender.sender_session_id},
          {"sender_node", r.sender.node_id},
          {"sender_source", r.sender.source},
          {"live_upstream_outbox_path", r.live_upstream_outbox_path},
          {"model_vendor", r.model_vendor},
          {"model_id", r.model_id},
          {"model_family", r.model_family},
          {"requested_delivery_method", r.requested_delivery_method},
          {"source_context", r.source_context},
          {"final_visible_body", r.final_visible_body},
          {"callback_expected", bool_text(r.callback_expected)},
          {"strict", bool_text(r.strict)}};
}

const std::string kRequestFilePrefix = "tessik-delivery-worker-";

std::string sanitized_file_id(std::string_view id) {
  std::string out(id);
  for (char& c : out) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) c = '-';
  }
  return out;
}

}  // namespace

std::string format_delivery_request(const DeliveryRequest& request, std::string_view mode) {
  std::string line = "{";
  bool first = true;
  for (const auto& [key, value] : request_members(request, mode)) {
    if (!first) line += ',';
    first = false;
    append_json_string_member(line, key, value);
  }
  line += "}\n";
  return line;
}

fs::path delivery_request_path(std::string_view message_id) {
  const std::string id = message_id.empty() ? random_hex_token() : std::string(message_id);
  return platform::user_temp_directory() / (kRequestFilePrefix + sanitized_file_id(id) + ".json");
}

void write_delivery_request(const fs::path& path, const DeliveryRequest& request,
                            std::string_view mode) {
  if (path.has_parent_path()) {
    std::error_code error;
    platform::create_private_directories(path.parent_path(), error);
    if (error) {
      throw std::runtime_error("could not create delivery worker temp directory: " +
                               error.message());
    }
  }
  // The temporary directory is shared with other users and the name is predictable: create
  // the file ourselves, owner-only from the first byte, and never through a planted link.
  int code = 0;
  const platform::FileHandle handle = platform::create_new_file(path, 0600, code);
  if (handle == platform::kInvalidFileHandle) {
    if (code == platform::file_exists_error_code()) {
      throw DeliveryRequestExistsError("delivery worker request file already exists: " +
                                       path.string());
    }
    throw std::runtime_error("could not write delivery worker request: " + path.string());
  }
  int ignored = 0;
  const bool written = platform::write_all(handle, format_delivery_request(request, mode), code);
  if (!platform::close_file(handle, ignored) || !written) {
    platform::remove_file_quietly(path);
    throw std::runtime_error("could not write delivery worker request: " + path.string());
  }
}

ParsedDeliveryRequest parse_delivery_request(std::string_view text) {
  ParsedDeliveryRequest parsed;
  nlohmann::json document;
  if (!json_nesting_within(text, kMaxStoredJsonNestingDepth)) {
    parsed.error = "delivery worker request nests deeper than " +
                   std::to_string(kMaxStoredJsonNestingDepth) + " levels";
    return parsed;
  }
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& error) {
    parsed.error = std::string("delivery worker request is not valid JSON: ") + error.what();
    return parsed;
  }
  if (!document.is_object()) {
    parsed.error = "delivery worker request is not a JSON object";
    return parsed;
  }
  for (const auto& [key, value] : document.items()) {
    if (!value.is_string()) {
      parsed.error = "delivery worker request member '" + key + "' is not a string";
      return parsed;
    }
  }
  const auto text_of = [&](const char* key) {
    const auto found = document.find(key);
    return found == document.end() ? std::string() : found->get<std::string>();
  };
  if (text_of("type") != kDeliveryRequestType) {
    parsed.error = "delivery worker request has no type \"delivery_worker_request\"";
    return parsed;
  }
  DeliveryRequest& r = parsed.request;
  r.message_id = text_of("message_id");
  r.target.provider = text_of("target_provider");
  if (trim(r.message_id).empty() || trim(r.target.provider).empty()) {
    parsed.error = "delivery worker request lacks message_id or target_provider";
    return parsed;
  }
  parsed.mode = text_of("mode");
  r.test_id = text_of("test_id");
  r.target.agent_id = text_of("target_agent_id");
  r.target.public_agent_id = text_of("target_public_agent_id");
  r.target.display_name = text_of("target_display_name");
  r.target.provider_session_id = text_of("target_provider_session_id");
  r.target.node_id = text_of("target_node_id");
  r.target.normalization_schema = text_of("target_normalization_schema");
  r.target.provider_surface = text_of("target_provider_surface");
  r.target.delivery_binding = text_of("target_delivery_binding");
  r.target.response_identity_binding = text_of("target_response_identity_binding");
  r.target.delivery_verification_source = text_of("target_delivery_verification_source");
  r.target.enabled = true;
  r.target.sendable = true;
  r.sender.resolved = text_of("sender_resolved") == "true";
  r.sender.sender = text_of("sender_agent");
  r.sender.sender_session_id = text_of("sender_reply_address");
  r.sender.node_id = text_of("sender_node");
  r.sender.source = text_of("sender_source");
  r.live_upstream_outbox_path = text_of("live_upstream_outbox_path");
  r.model_vendor = text_of("model_vendor");
  r.model_id = text_of("model_id");
  r.model_family = text_of("model_family");
  r.requested_delivery_method = text_of("requested_delivery_method");
  r.source_context = text_of("source_context");
  r.final_visible_body = text_of("final_visible_body");
  r.callback_expected = text_of("callback_expected") == "true";
  r.strict = text_of("strict") == "true";
  parsed.ok = true;
  return parsed;
}

ParsedDeliveryRequest read_delivery_request(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (!in || error || size > kDeliveryRequestMaxBytes) {
    ParsedDeliveryRequest parsed;
    parsed.error = "could not read delivery worker request: " + path.string();
    return parsed;
  }
  std::string text(static_cast<std::size_t>(size), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return parse_delivery_request(text);
}

DeliveryRequestClaim::DeliveryRequestClaim(fs::path path)
    : path_(std::move(path)), handle_(platform::kInvalidLockHandle) {}

DeliveryRequestClaim::~DeliveryRequestClaim() {
  release();
}

DeliveryRequestClaim::Status DeliveryRequestClaim::claim() {
  release();
  int code = 0;
  handle_ = platform::open_existing_lock_file(path_, code);
  if (handle_ == platform::kInvalidLockHandle) return Status::gone;
  if (platform::try_lock_whole_file(handle_, code) != platform::LockAttempt::acquired) {
    release();
    return Status::busy;
  }
  // The previous holder may have consumed the file between our open and our lock.
  if (!platform::lock_file_is_linked_at(handle_, path_)) {
    release();
    return Status::gone;
  }
  // Read through the claimed handle: the file is not opened a second time.
  std::string text;
  if (platform::read_lock_file(handle_, kDeliveryRequestMaxBytes, text)) {
    parsed_ = parse_delivery_request(text);
  } else {
    parsed_ = ParsedDeliveryRequest{};
    parsed_.error = "could not read delivery worker request: " + path_.string();
  }
  return Status::claimed;
}

void DeliveryRequestClaim::consume() {
  if (handle_ == platform::kInvalidLockHandle) return;
  platform::remove_file_quietly(path_);
  release();
}

void DeliveryRequestClaim::release() {
  if (handle_ == platform::kInvalidLockHandle) return;
  platform::unlock_whole_file(handle_);
  platform::close_lock_file(handle_);
  handle_ = platform::kInvalidLockHandle;
}

std::vector<fs::path> list_delivery_request_files() {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator it(platform::user_temp_directory(), error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with(kRequestFilePrefix) && name.ends_with(".json"))
      found.push_back(it->path());
  }
  return found;
}

}  // namespace tessik
