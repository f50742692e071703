// Operation facts journal. Reads and appends happen under one lock so that the sequence
// numbers and the single-binding rule hold across processes.
#include "providers/antigravity_cli/operation_journal.h"

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "base/json_depth.h"
#include "base/sha256.h"
#include "base/text.h"
#include "platform/files.h"
#include "platform/secure_random.h"
#include "registry/lock_publish.h"
#include "state/state_dir.h"

namespace tessik {
namespace fs = std::filesystem;
namespace {

constexpr std::int64_t kJournalLockTimeoutNs = 5'000'000'000;

std::vector<OperationFact> parse_facts(const fs::path& path) {
  std::vector<OperationFact> facts;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!json_nesting_within(line, kMaxStoredJsonNestingDepth)) continue;
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (!record.is_object() || !record.contains("event_type")) continue;
    OperationFact fact;
    for (const auto& [key, value] : record.items()) {
      if (!value.is_string()) continue;
      const std::string text = value.get<std::string>();
      if (key == "event_type") {
        fact.fact = text;
      } else if (key == "created_at") {
        fact.created_at = text;
      } else {
        fact.fields.emplace_back(key, text);
      }
    }
    try {
      fact.sequence = std::stoull(fact.field("sequence"));
    } catch (const std::exception&) {
      fact.sequence = 0;
    }
    facts.push_back(std::move(fact));
  }
  return facts;
}

// Runs `body` with the journal's lock held; `body` sees the facts read under the lock.
template <typename Result>
Result with_journal(
    std::string_view operation_id,
    const std::function<Result(const fs::path&, std::vector<OperationFact>&)>& body) {
  const fs::path path = operation_journal_path(operation_id);
  std::error_code error;
  platform::create_private_directories(path.parent_path(), error);
  if (error) {
    throw std::runtime_error("could not create operation journal directory: " + error.message());
  }
  RegistryFileLock lock;
  std::string lock_error;
  const RegistryStatus status =
      lock_registry_file(path, RegistryDeadline::after(kJournalLockTimeoutNs), lock, lock_error);
  if (status != RegistryStatus::unchanged) {
    unlock_registry_file(lock);
    throw std::runtime_error("could not lock operation journal: " + path.string() + ": " +
                             lock_error);
  }
  try {
    std::vector<OperationFact> facts = parse_facts(path);
    Result result = body(path, facts);
    unlock_registry_file(lock);
    return result;
  } catch (...) {
    unlock_registry_file(lock);
    throw;
  }
}

void append_fact(const fs::path& path, const std::vector<OperationFact>& facts,
                 std::string_view fact, std::string_view operation_id, EvidenceFields fields) {
  fields.insert(fields.begin(), {{"operation_id", std::string(operation_id)},
                                 {"sequence", std::to_string(facts.size() + 1)}});
  const std::string line = format_evidence_record(fact, utc_timestamp_now(), fields);
  if (!platform::append_to_file(path, line)) {
    throw std::runtime_error("could not append operation journal: " + path.string());
  }
}

}  // namespace

std::string OperationFact::field(std::string_view key) const {
  for (const auto& [name, value] : fields) {
    if (name == key) return value;
  }
  return {};
}

fs::path operation_journal_path(std::string_view operation_id) {
  return resolve_state_directory() / "operations" / "antigravity_cli" /
         (sha256_hex(operation_id) + ".jsonl");
}

std::string record_operation_dispatched(std::string_view operation_id) {
  const std::string id = trim(operation_id);
  if (id.empty()) throw std::runtime_error("operation id is empty");
  return with_journal<std::string>(
      id, [&](const fs::path& path, std::vector<OperationFact>& facts) {
        if (!facts.empty()) {
          throw std::runtime_error("Antigravity CLI operation " + id + " was already dispatched");
        }
        std::string token = platform::random_secret_hex(16);
        append_fact(path, facts, kOperationDispatchedFact, id, {{"dispatch_token", token}});
        return token;
      });
}

OperationBinding bind_callback_to_operation(std::string_view operation_id,
                                            std::string_view callback_message_id) {
  const std::string id = trim(operation_id);
  const std::string message_id = trim(callback_message_id);
  OperationBinding binding;
  if (id.empty() || message_id.empty()) {
    binding.error = "Antigravity CLI callback binding needs an operation id and a message id";
    return binding;
  }
  return with_journal<OperationBinding>(
      id, [&](const fs::path& path, std::vector<OperationFact>& facts) {
        std::string token;
        std::string bound_message;
        bool failed = false;
        for (const OperationFact& fact : facts) {
          if (fact.fact == kOperationDispatchedFact) token = fact.field("dispatch_token");
          if (fact.fact == kCallbackBoundFact) bound_message = fact.field("callback_message_id");
          if (fact.fact == kResponseFailedFact) failed = true;
        }
        if (token.empty()) {
          binding.error = "Antigravity CLI operation " + id + " is not known";
        } else if (failed) {
          binding.error = "Antigravity CLI operation " + id + " already failed its response";
        } else if (!bound_message.empty() && bound_message != message_id) {
          binding.error = "Antigravity CLI operation " + id +
                          " is already bound to callback message " + bound_message;
        } else {
          if (bound_message.empty()) {
            append_fact(path, facts, kCallbackBoundFact, id, {{"callback_message_id", message_id}});
          }
          binding.bound = true;
          binding.dispatch_token = token;
        }
        return binding;
      });
}

void record_operation_response_failed(std::string_view operation_id, std::string_view reason,
                                      std::string_view process_error) {
  const std::string id = trim(operation_id);
  with_journal<bool>(id, [&](const fs::path& path, std::vector<OperationFact>& facts) {
    append_fact(path, facts, kResponseFailedFact, id,
                {{"reason", std::string(reason)}, {"process_error", std::string(process_error)}});
    return true;
  });
}

OperationBinding begin_operation_response(std::string_view operation_id,
                                          std::string_view dispatch_token,
                                          std::string_view callback_message_id) {
  const std::string id = trim(operation_id);
  const std::string message_id = trim(callback_message_id);
  OperationBinding binding;
  if (id.empty() || message_id.empty()) {
    binding.error = "Antigravity CLI callback delivery needs an operation id and a message id";
    return binding;
  }
  return with_journal<OperationBinding>(
      id, [&](const fs::path& path, std::vector<OperationFact>& facts) {
        std::string token;
        std::string bound_message;
        std::string refusal;
        for (const OperationFact& fact : facts) {
          if (fact.fact == kOperationDispatchedFact) token = fact.field("dispatch_token");
          if (fact.fact == kCallbackBoundFact) bound_message = fact.field("callback_message_id");
          if (fact.fact == kResponseDeliveryStartedFact) {
            refusal = "Antigravity CLI operation " + id + " already delivered its response";
          }
          if (fact.fact == kResponseFailedFact && refusal.empty()) {
            refusal = "Antigravity CLI operation " + id + " already failed its response";
          }
        }
        if (token.empty()) {
          binding.error = "Antigravity CLI operation " + id + " is not known";
        } else if (token != dispatch_token) {
          binding.error = "Antigravity CLI operation " + id + " has another dispatch token";
        } else if (bound_message != message_id) {
          binding.error =
              "Antigravity CLI operation " + id + " is not bound to callback message " + message_id;
        } else if (!refusal.empty()) {
          binding.error = refusal;
        } else {
          append_fact(path, facts, kResponseDeliveryStartedFact, id,
                      {{"callback_message_id", message_id}});
          binding.bound = true;
          binding.dispatch_token = token;
        }
        return binding;
      });
}

void record_operation_response_delivered(std::string_view operation_id,
                                         std::string_view callback_message_id,
                                         std::string_view detail) {
  const std::string id = trim(operation_id);
  with_journal<bool>(id, [&](const fs::path& path, std::vector<OperationFact>& facts) {
    append_fact(
        path, facts, kResponseDeliveredFact, id,
        {{"callback_message_id", trim(callback_message_id)}, {"detail", std::string(detail)}});
    return true;
  });
}

std::vector<OperationFact> read_operation_facts(std::string_view operation_id) {
  const fs::path path = operation_journal_path(trim(operation_id));
  std::error_code error;
  if (!fs::exists(path, error)) return {};
  return parse_facts(path);
}

}  // namespace tessik
