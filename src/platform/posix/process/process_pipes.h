// The standard streams of one bounded run: one reader thread per output pipe and one writer
// thread for the input, sharing the captured output under one mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessik::platform::posix {

class ProcessPipes {
 public:
  // `initial` and `deferred` must outlive the object. `output_limit` is already capped.
  ProcessPipes(std::uint64_t output_limit, const std::string& initial, const std::string& deferred);
  ProcessPipes(const ProcessPipes&) = delete;
  ProcessPipes& operator=(const ProcessPipes&) = delete;
  ~ProcessPipes();  // stops and joins the threads, closes every descriptor

  // Reserves the output buffer; throws std::bad_alloc when it cannot.
  void reserve_output();
  // Takes ownership of the runner's ends (non-blocking) and starts the threads.
  // `input_fd` is -1 when there is no input. Throws std::system_error when a thread or the
  // wake-up descriptors cannot be created; the descriptors are owned (and closed) either way.
  void start(int stdout_fd, int stderr_fd, int input_fd);

  // Lets the writer send the deferred input (once).
  void release_deferred_input();
  // Tells the threads the run is over: readers take what is already in their pipes and end,
  // the writer ends at once. Joins them. Idempotent.
  void stop();

  bool output_exceeded() const { return output_exceeded_.load(); }
  bool deferred_input_written() const { return deferred_written_.load(); }
  std::string read_error() const;
  // Which input failed ("initial" or "deferred") and the system message, or empty texts.
  std::string write_error_phase() const;
  std::string write_error() const;
  // Appends to `snapshot` whatever output arrived since it was last brought up to date.
  void update_snapshot(std::string& snapshot) const;
  std::string take_output();

 private:
  void read_loop(int fd);
  void write_loop(int fd);
  bool write_all(int fd, const std::string& bytes);
  // Appends what fits under the limit; false once something had to be dropped.
  bool append(const char* data, std::size_t size);
  void record_read_error(int error);
  void record_write_error(const char* phase, int error);

  const std::uint64_t output_limit_;
  const std::string& initial_;
  const std::string& deferred_;
  int stop_fd_ = -1;     // readable once the run is over
  int release_fd_ = -1;  // readable once the deferred input may go
  std::vector<int> owned_fds_;
  std::vector<std::thread> threads_;
  mutable std::mutex mutex_;
  std::string output_;
  std::string read_error_;
  std::string write_error_phase_;
  std::string write_error_;
  std::atomic<bool> output_exceeded_{false};
  std::atomic<bool> deferred_written_{false};
  std::atomic<bool> stopped_{false};
};

}  // namespace tessik::platform::posix
