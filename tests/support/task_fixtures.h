// Small builders for task tests: sends, outcomes and stored tasks with chosen owners.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "a2a/gateway/gateway_context.h"
#include "a2a/tasks/task_record.h"
#include "registry/agent_record.h"
#include "support/temp_env.h"
#include "wire/envelope.h"

namespace tessik::test {

// A text send from agent "alice" (client "client-a") to "Tessik Mailbox".
TaskSendInput sample_send(const std::string& message_id = "m-1", const std::string& text = "hello");

// The pipeline's receipt for an accepted send.
TaskSendOutcome accepted_outcome();

// The built-in mailbox row with a public id.
AgentRecord mailbox_agent();

// A WORKING task owned by `client_id` with the given id and status timestamp.
TaskRecord stored_task(const std::string& id, const std::string& client_id,
                       const std::string& timestamp, const std::string& state = kTaskStateWorking);

// "2026-01-01T<hh:mm:ss>Z" for `second` seconds into that day (under a day).
std::string stamp(int second);

// An authenticated registry client with the given scopes.
Principal client_principal(const std::string& client_id, std::vector<std::string> scopes);

// Task `index` of a large generated log: one of four owners, revision 0 working, 1 cancelled,
// 2 completed, timestamps rising with index and revision.
TaskRecord bulk_task(int index, int revision);

// Writes `tasks` tasks in twice as many lines: every task once, 70% of them a second time and
// 30% a third time, each pass in index order.
void write_bulk_task_log(const std::filesystem::path& path, int tasks);

// Points the context's push configuration log and its three queue files into `a2a_dir`.
void use_push_files_in(GatewayContext& context, const std::filesystem::path& a2a_dir);

// While it lives, every write that would grow a file past `bytes` fails (the process file
// size limit, with its signal ignored). Tests run as root, which permissions do not stop.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uintmax_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  std::uintmax_t saved_current_ = 0;
  void (*previous_handler_)(int) = nullptr;
};

}  // namespace tessik::test
