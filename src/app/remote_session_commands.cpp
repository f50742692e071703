// The relay sessions another node runs here over SSH. Both answer in this process, with the
// same code the broker runs, rather than through the broker: a node reached over SSH needs no
// broker running for the user, and the registry, task store and logs are shared with the
// broker through their file locks, as every other tessik process shares them.
#include "app/remote_session_commands.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "a2a/gateway/gateway.h"
#include "a2a/tasks/task_replies.h"
#include "base/json_depth.h"
#include "base/random.h"
#include "base/text.h"
#include "broker/request_handling.h"
#include "pipeline/send_pipeline.h"
#include "platform/durable_file.h"
#include "platform/files.h"
#include "platform/temp_directory.h"
#include "registry/registry.h"
#include "state/evidence_log.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxSessionLineBytes = 8 * 1024 * 1024;

void print_line(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// One line of stdin, refused past the size limit; nothing at the end of input.
std::optional<std::string> read_line(std::string& error) {
  std::string line;
  int c = 0;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
    if (line.size() >= kMaxSessionLineBytes) {
      error = "session line is longer than " + std::to_string(kMaxSessionLineBytes) + " bytes";
      return std::nullopt;
    }
    line.push_back(static_cast<char>(c));
  }
  if (c == EOF && line.empty()) return std::nullopt;
  return line;
}

std::optional<json> parse_line_object(const std::string& line) {
  if (!json_nesting_within(line)) return std::nullopt;
  json parsed = json::parse(line, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

std::string text_of(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool bool_of(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_boolean() && found->get<bool>();
}

int session_error(const std::string& request_id, const std::string& message) {
  json line = {{"type", "error"}, {"request_id", request_id}, {"error", message}};
  print_line(line.dump(-1, ' ', false, json::error_handler_t::replace));
  return 0;
}

bool stdio_arguments(const std::vector<std::string>& args, const char* mode) {
  if (args.size() == 1 && args[0] == "--stdio") return true;
  std::fprintf(stderr, "usage: tessik %s --stdio\n", mode);
  return false;
}

SendRequest send_request_of(const json& deliver, const std::string& outbox) {
  SendRequest request;
  request.target = text_of(deliver, "target");
  request.body = text_of(deliver, "body");
  request.strict = bool_of(deliver, "strict");
  request.body_is_final_visible = bool_of(deliver, "body_is_final_visible");
  request.sender_resolved = bool_of(deliver, "sender_resolved");
  request.sender_agent = text_of(deliver, "sender_agent");
  request.sender_node = text_of(deliver, "sender_node");
  request.sender_source = text_of(deliver, "sender_source");
  request.from = request.sender_agent;
  request.from_node = request.sender_node;
  request.source_context = "relay_session";
  request.live_upstream_outbox_path = outbox;
  return request;
}

// Prints the outbox's lines (the pipeline wrote them as "upstream_message" lines) and
// removes it.
void forward_upstream(const std::filesystem::path& outbox) {
  std::FILE* file = platform::open_file_for_reading(outbox);
  if (file != nullptr) {
    std::string line;
    int c = 0;
    while ((c = std::fgetc(file)) != EOF) {
      if (c != '\n') {
        line.push_back(static_cast<char>(c));
        continue;
      }
      if (!line.empty()) print_line(line);
      line.clear();
    }
    std::fclose(file);
  }
  platform::remove_file_quietly(outbox);
}

int relay_one_delivery() {
  std::string error;
  const std::optional<std::string> hello_line = read_line(error);
  const std::optional<json> hello = hello_line ? parse_line_object(*hello_line) : std::nullopt;
  if (!hello || text_of(*hello, "type") != "hello") {
    return session_error("", error.empty() ? "relay session expected a hello line" : error);
  }
  if (text_of(*hello, "protocol_version") != "1") {
    return session_error("", "unsupported relay protocol_version: " +
                                 text_of(*hello, "protocol_version"));
  }
  const std::optional<std::string> deliver_line = read_line(error);
  const std::optional<json> deliver =
      deliver_line ? parse_line_object(*deliver_line) : std::nullopt;
  if (!deliver || text_of(*deliver, "type") != "deliver") {
    return session_error("", error.empty() ? "relay session expected a deliver line" : error);
  }
  const std::string request_id = text_of(*deliver, "request_id");
  const std::filesystem::path outbox =
      platform::user_temp_directory() / ("tessik-relay-outbox-" + random_hex_token() + ".jsonl");
  const SendOutcome outcome =
      send_message(reply_completing_pipeline_context(), send_request_of(*deliver, outbox));
  forward_upstream(outbox);
  json result = {{"type", "deliver_result"}, {"request_id", request_id},
                 {"message_id", outcome.message_id}, {"accepted", outcome.accepted},
                 {"state", outcome.status}, {"method", outcome.provider},
                 {"evidence", outcome.detail}, {"error", outcome.error}};
  print_line(result.dump(-1, ' ', false, json::error_handler_t::replace));
  return 0;
}

// The SSH login proved the caller is this user, so the caller is trusted as the broker trusts
// the API service: authenticated, sending as the agent its request names.
UserBrokerEnvelope envelope_of(const std::string& line) {
  UserBrokerEnvelope envelope;
  envelope.valid = true;
  envelope.request.method = "POST";
  envelope.request.target = "/rpc";
  envelope.request.headers = {{"Content-Type", "application/json"}, {"A2A-Version", "1.0"}};
  envelope.request.body = line;
  envelope.request.endpoint_url = "ssh-stdio://local/rpc";
  Principal& principal = envelope.principal;
  principal.authenticated = true;
  principal.principal_type = "ssh_relay";
  principal.client_id = "ssh-relay-session";
  principal.scopes = {"agent.read", "agent.send", "task.read"};
  if (const std::optional<json> rpc = parse_line_object(line)) {
    const json params = rpc->value("params", json::object());
    const json metadata = params.is_object() ? params.value("metadata", json::object()) : json();
    if (metadata.is_object()) {
      principal.sender_agent = text_of(metadata, "tessikRequesterAgent");
      const std::string node = trim(text_of(metadata, "tessikRequesterNode"));
      if (!node.empty()) principal.sender_node = node;
    }
  }
  return envelope;
}

std::string one_line(std::string body) {
  for (char& c : body) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return body;
}

}  // namespace

int run_relay_session_command(const std::vector<std::string>& args) {
  if (!stdio_arguments(args, "relay-session")) return 2;
  try {
    return relay_one_delivery();
  } catch (const std::exception& failure) {
    return session_error("", std::string("relay session failed: ") + failure.what());
  }
}

int run_a2a_relay_session_command(const std::vector<std::string>& args) {
  if (!stdio_arguments(args, "a2a-relay-session")) return 2;
  std::string error;
  const std::optional<std::string> line = read_line(error);
  if (!line || trim(*line).empty()) {
    json answer = {{"jsonrpc", "2.0"}, {"id", nullptr},
                   {"error", {{"code", -32600},
                              {"message", error.empty() ? "no JSON-RPC request" : error}}}};
    print_line(answer.dump());
    return 0;
  }
  const UserBrokerEnvelope envelope = envelope_of(*line);
  GatewayResponse response;
  try {
    Registry registry(agents_registry_path());
    const EvidenceLog evidence(events_log_path());
    response = handle_a2a_request(envelope.request, envelope.principal,
                                  make_gateway_context(envelope), registry, evidence, {});
  } catch (const std::exception& failure) {
    response = internal_error_response(failure.what());
  }
  // A refusal is still an answer: the caller reads the JSON-RPC error from the line.
  print_line(one_line(response.body));
  return 0;
}

}  // namespace tessik
