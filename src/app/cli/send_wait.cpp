// Polling the delivery log for one message's outcome.
#include "app/cli/send_wait.h"

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "base/json_depth.h"
#include "pipeline/delivery_stage.h"

namespace tessik {
namespace {

std::string text_member(const nlohmann::json& record, const char* key) {
  const auto it = record.find(key);
  return it != record.end() && it->is_string() ? it->get<std::string>() : "";
}

// The outcome one record decides, if any.
std::optional<DeliveryWaitResult> decision(const std::string& line, const std::string& message_id) {
  if (line.find(message_id) == std::string::npos || !json_nesting_within(line)) return std::nullopt;
  const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
  if (!record.is_object() || text_member(record, "event_type") != kDeliveryStageEvent ||
      text_member(record, "message_id") != message_id) {
    return std::nullopt;
  }
  const std::string stage = text_member(record, "stage");
  const std::string source = text_member(record, "source");
  const bool failed = text_member(record, "result") == "error";
  DeliveryWaitResult result{true, false, stage, text_member(record, "detail")};
  if (source == kStageSourceDeliveryWorker && stage == "provider_delivery_accepted") {
    result.delivered = true;
    return result;
  }
  if (failed && (source == kStageSourceDeliveryWorker || stage == "delivery_worker_handoff_failed"))
    return result;
  return std::nullopt;
}

}  // namespace

DeliveryWaitResult wait_for_delivery_outcome(const std::filesystem::path& delivery_log,
                                             const std::string& message_id,
                                             std::int64_t timeout_ns) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeout_ns);
  std::uintmax_t offset = 0;
  std::string partial;
  while (true) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(delivery_log, error);
    if (!error && size < offset) {
      offset = 0;  // rotated: the new file starts afresh
      partial.clear();
    }
    if (!error && size > offset) {
      std::ifstream in(delivery_log, std::ios::binary);
      in.seekg(static_cast<std::streamoff>(offset));
      std::string chunk(static_cast<std::size_t>(size - offset), '\0');
      in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      chunk.resize(static_cast<std::size_t>(in.gcount()));
      offset += chunk.size();
      partial += chunk;
      std::size_t start = 0;
      for (std::size_t end; (end = partial.find('\n', start)) != std::string::npos;
           start = end + 1) {
        if (auto found = decision(partial.substr(start, end - start), message_id)) return *found;
      }
      partial.erase(0, start);
    }
    if (std::chrono::steady_clock::now() >= deadline) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace tessik
