// Test support for deliveries: a private temporary directory for request files, the program
// the hand-off starts, polling for what a detached worker leaves behind, and stage records.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/temp_env.h"

namespace tessik::test {

// Points TMPDIR at <root>/tmp (created) and TESSIK_EXE at `executable` for the life of `env`.
// Returns the temporary directory.
std::filesystem::path use_delivery_executable(TempEnv& env, const std::string& executable);

// Calls `condition` every 10 ms until it holds or `limit` passes; returns its last answer.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// The regular files of `directory` (none when it is missing).
std::vector<std::filesystem::path> files_in(const std::filesystem::path& directory);

// The "stage" values of the delivery_stage records in `log` written by `source`, in order.
std::vector<std::string> stage_names(const std::filesystem::path& log, const std::string& source);

// The delivery_stage records of `log` whose "stage" is `stage`.
std::vector<nlohmann::json> stage_records(const std::filesystem::path& log,
                                          const std::string& stage);

}  // namespace tessik::test
