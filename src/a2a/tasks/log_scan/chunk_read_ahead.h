// Reading a large file chunk by chunk while the caller works on the previous chunk: the copy
// out of the page cache happens on a second thread, off the caller's path.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace tessik {

// Reads `file` from its current position to its end in chunks of `chunk_bytes`, on a thread
// of its own that the object owns. The file must stay open, and untouched by the caller,
// while the object lives. One caller thread takes the chunks in order; the destructor stops
// and joins the reader. The constructor throws std::system_error when no thread can be
// started (and the caller then reads the file itself).
class ChunkReadAhead {
 public:
  ChunkReadAhead(std::FILE* file, std::size_t chunk_bytes);
  ~ChunkReadAhead();
  ChunkReadAhead(const ChunkReadAhead&) = delete;
  ChunkReadAhead& operator=(const ChunkReadAhead&) = delete;

  // The next chunk, valid until the next call; empty at the end of the file or when a read
  // fails. Taking a chunk hands the previous one back to the reader.
  std::string_view next();

 private:
  void read_chunks();

  std::FILE* file_;
  std::size_t chunk_bytes_;
  std::unique_ptr<char[]> buffers_[2];
  std::size_t sizes_[2] = {0, 0};
  bool full_[2] = {false, false};
  int held_ = -1;  // the buffer the caller holds, -1 for none
  int next_ = 0;   // the buffer the caller takes next
  bool ended_ = false;
  bool stopping_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread reader_;  // started last, once everything it uses exists
};

}  // namespace tessik
