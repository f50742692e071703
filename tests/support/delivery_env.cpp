// Test support for deliveries.
#include "support/delivery_env.h"

#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "support/jsonl_reader.h"

namespace tessik::test {
namespace fs = std::filesystem;

fs::path use_delivery_executable(TempEnv& env, const std::string& executable) {
  const fs::path tmp = env.root() / "tmp";
  fs::create_directories(tmp);
  env.set("TMPDIR", tmp.string());
  env.set("TESSIK_EXE", executable);
  return tmp;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<fs::path> files_in(const fs::path& directory) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file()) files.push_back(it->path());
  }
  return files;
}

std::vector<std::string> stage_names(const fs::path& log, const std::string& source) {
  std::vector<std::string> names;
  for (const nlohmann::json& record : read_events(log, "delivery_stage")) {
    if (record.value("source", "") == source) names.push_back(record.value("stage", ""));
  }
  return names;
}

std::vector<nlohmann::json> stage_records(const fs::path& log, const std::string& stage) {
  std::vector<nlohmann::json> records;
  for (const nlohmann::json& record : read_events(log, "delivery_stage")) {
    if (record.value("stage", "") == stage) records.push_back(record);
  }
  return records;
}

}  // namespace tessik::test
