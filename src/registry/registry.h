// The agent registry store: a handle on the agents file. Reading and transactions live beside
// it in this folder; the broker constructs one per request.
#pragma once

#include <filesystem>
#include <utility>

namespace tessik {

class Registry {
 public:
  explicit Registry(std::filesystem::path agents_path) : path_(std::move(agents_path)) {}
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace tessik
