// /proc scanning with raw system calls only: it runs inside the run's supervisor process, a
// fork of a multi-threaded program where malloc, stdio and locks are off limits.
#include "platform/posix/process/process_tree.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace tessik::platform::posix {
namespace {

struct LinuxDirent64 {
  std::uint64_t d_ino;
  std::int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

bool parse_pid(const char* text, int* pid) {
  if (*text == '\0') return false;
  long value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    value = value * 10 + (*text - '0');
    if (value > 0x7fffffffL) return false;
  }
  *pid = static_cast<int>(value);
  return true;
}

// "/proc/<pid>/stat" into `buffer`.
void stat_path(int pid, char* buffer) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + pid % 10);
    pid /= 10;
  } while (pid > 0);
  const char prefix[] = "/proc/";
  int at = 0;
  for (const char* p = prefix; *p != '\0'; ++p)
    buffer[at++] = *p;
  while (n > 0)
    buffer[at++] = digits[--n];
  const char suffix[] = "/stat";
  for (const char* p = suffix; *p != '\0'; ++p)
    buffer[at++] = *p;
  buffer[at] = '\0';
}

// Skips to the field after the next blank; returns nullptr at the end of the text.
const char* next_field(const char* p, const char* end) {
  while (p < end && *p != ' ')
    ++p;
  while (p < end && *p == ' ')
    ++p;
  return p < end ? p : nullptr;
}

std::uint64_t parse_number(const char* p, const char* end) {
  std::uint64_t value = 0;
  while (p < end && *p >= '0' && *p <= '9')
    value = value * 10 + static_cast<std::uint64_t>(*p++ - '0');
  return value;
}

void sort_by_pid(ProcessTable& table) {
  ProcessEntry* e = table.entries;
  const std::size_t n = table.count;
  bool sorted = true;
  for (std::size_t i = 1; i < n && sorted; ++i)
    sorted = e[i - 1].pid < e[i].pid;
  if (sorted) return;
  // /proc lists in pid order in practice; a shell sort covers the exception without memory.
  for (std::size_t gap = n / 2; gap > 0; gap /= 2) {
    for (std::size_t i = gap; i < n; ++i) {
      const ProcessEntry moving = e[i];
      std::size_t j = i;
      for (; j >= gap && e[j - gap].pid > moving.pid; j -= gap)
        e[j] = e[j - gap];
      e[j] = moving;
    }
  }
}

const ProcessEntry* find_entry(const ProcessTable& table, int pid) {
  std::size_t low = 0, high = table.count;
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (table.entries[mid].pid < pid) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low < table.count && table.entries[low].pid == pid ? &table.entries[low] : nullptr;
}

}  // namespace

bool allocate_process_table(ProcessTable& table, std::size_t capacity) {
  void* memory = ::mmap(nullptr, capacity * sizeof(ProcessEntry), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) return false;
  table.entries = static_cast<ProcessEntry*>(memory);
  table.capacity = capacity;
  table.count = 0;
  return true;
}

void release_process_table(ProcessTable& table) {
  if (table.entries != nullptr) ::munmap(table.entries, table.capacity * sizeof(ProcessEntry));
  table = ProcessTable{};
}

bool read_process_stat(int pid, std::uint64_t* start_time, int* ppid, char* state) {
  char path[48];
  stat_path(pid, path);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[1024];
  ssize_t length;
  do {
    length = ::read(fd, buffer, sizeof buffer);
  } while (length < 0 && errno == EINTR);
  ::close(fd);
  if (length <= 0) return false;
  const char* end = buffer + length;
  // The command name may hold blanks and parentheses; the last ')' ends it.
  const char* p = end;
  while (p > buffer && *(p - 1) != ')')
    --p;
  if (p == buffer) return false;
  while (p < end && *p == ' ')
    ++p;
  if (p >= end) return false;
  const char status = *p;                  // field 3
  const char* field = next_field(p, end);  // field 4: parent
  if (field == nullptr) return false;
  const int parent = static_cast<int>(parse_number(field, end));
  for (int index = 4; index < 22 && field != nullptr; ++index)
    field = next_field(field, end);
  if (field == nullptr) return false;  // field 22: start time
  *start_time = parse_number(field, end);
  if (ppid != nullptr) *ppid = parent;
  if (state != nullptr) *state = status;
  return true;
}

bool scan_processes(ProcessTable& table) {
  table.count = 0;
  table.complete = true;
  const int dir = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  alignas(8) char buffer[8192];
  for (;;) {
    const long length = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) {
      ::close(dir);
      return length == 0;
    }
    for (long offset = 0; offset < length;) {
      auto* entry = reinterpret_cast<LinuxDirent64*>(buffer + offset);
      offset += entry->d_reclen;
      int pid = 0;
      if (!parse_pid(entry->d_name, &pid)) continue;
      if (table.count == table.capacity) {
        table.complete = false;
        continue;
      }
      ProcessEntry& slot = table.entries[table.count];
      if (!read_process_stat(pid, &slot.start_time, &slot.ppid, &slot.state)) continue;
      slot.pid = pid;
      slot.in_tree = false;
      ++table.count;
    }
  }
}

std::size_t mark_descendants(ProcessTable& table, int root) {
  sort_by_pid(table);
  std::size_t marked = 0;
  for (std::size_t i = 0; i < table.count; ++i)
    table.entries[i].in_tree = false;
  // Repeat until nothing changes: a child may be listed before its parent.
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < table.count; ++i) {
      ProcessEntry& entry = table.entries[i];
      if (entry.in_tree || entry.pid == root) continue;
      const ProcessEntry* parent = entry.ppid == root ? nullptr : find_entry(table, entry.ppid);
      if (entry.ppid == root || (parent != nullptr && parent->in_tree)) {
        entry.in_tree = true;
        ++marked;
        changed = true;
      }
    }
  }
  return marked;
}

bool kill_process_if_same(int pid, std::uint64_t start_time) {
  // Holding a pidfd pins the process: once its start time is confirmed through /proc, the
  // signal cannot reach another process that inherited the number in between.
  const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
  if (pidfd < 0 && errno != ENOSYS) return false;
  std::uint64_t current = 0;
  const bool same = read_process_stat(pid, &current, nullptr, nullptr) && current == start_time;
  bool sent = false;
  if (same) {
    sent = pidfd >= 0
               ? ::syscall(SYS_pidfd_send_signal, static_cast<int>(pidfd), SIGKILL, nullptr, 0) == 0
               : ::kill(pid, SIGKILL) == 0;
  }
  if (pidfd >= 0) ::close(static_cast<int>(pidfd));
  return sent;
}

}  // namespace tessik::platform::posix
