// Two buffers alternate between the reader thread, which fills an empty one, and the caller,
// which holds a full one until it asks for the next.
#include "a2a/tasks/log_scan/chunk_read_ahead.h"

namespace tessik {

ChunkReadAhead::ChunkReadAhead(std::FILE* file, std::size_t chunk_bytes)
    : file_(file), chunk_bytes_(chunk_bytes) {
  // Allocated here rather than on the reader thread: memory a short-lived thread frees goes
  // back to the system, and every read of a large log would page it in afresh.
  for (auto& buffer : buffers_)
    buffer = std::make_unique_for_overwrite<char[]>(chunk_bytes_);
  reader_ = std::thread([this] { read_chunks(); });
}

ChunkReadAhead::~ChunkReadAhead() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  reader_.join();
}

void ChunkReadAhead::read_chunks() {
  for (int at = 0;; at ^= 1) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || !full_[at]; });
      if (stopping_) return;
    }
    const std::size_t got = std::fread(buffers_[at].get(), 1, chunk_bytes_, file_);
    {
      const std::lock_guard lock(mutex_);
      sizes_[at] = got;
      full_[at] = true;
    }
    changed_.notify_all();
    if (got == 0) return;
  }
}

std::string_view ChunkReadAhead::next() {
  std::unique_lock lock(mutex_);
  if (held_ >= 0) {
    full_[held_] = false;
    held_ = -1;
    changed_.notify_all();
  }
  if (ended_) return {};
  changed_.wait(lock, [&] { return full_[next_]; });
  const int at = next_;
  next_ ^= 1;
  if (sizes_[at] == 0) {
    ended_ = true;
    return {};
  }
  held_ = at;
  return {buffers_[at].get(), sizes_[at]};
}

}  // namespace tessik
