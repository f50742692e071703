// A snapshot of the process table read from /proc, and the descendants of one process in it.
// Everything here is async-signal-safe (no allocation but mmap, no locks), so a freshly forked
// child of a multi-threaded process may use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessik::platform::posix {

struct ProcessEntry {
  int pid;
  int ppid;
  char state;                // 'Z' for a zombie
  bool in_tree;              // set by mark_descendants
  std::uint64_t start_time;  // clock ticks since boot; tells a reused pid apart
};

struct ProcessTable {
  ProcessEntry* entries = nullptr;
  std::size_t capacity = 0;
  std::size_t count = 0;
  bool complete = false;  // false when the system had more processes than `capacity`
};

// Maps room for `capacity` entries. Returns false when the memory cannot be mapped.
bool allocate_process_table(ProcessTable& table, std::size_t capacity);
void release_process_table(ProcessTable& table);

// Reads every process of /proc into the table, sorted by pid. Returns false when /proc
// cannot be listed.
bool scan_processes(ProcessTable& table);

// Marks every entry that descends from `root` (not `root` itself); returns how many.
std::size_t mark_descendants(ProcessTable& table, int root);

// Reads the start time (and, when not null, the parent and the state) of `pid`.
bool read_process_stat(int pid, std::uint64_t* start_time, int* ppid, char* state);

// Sends SIGKILL to `pid` only if it is still the process that started at `start_time`.
// Returns true when the signal was sent.
bool kill_process_if_same(int pid, std::uint64_t start_time);

}  // namespace tessik::platform::posix
