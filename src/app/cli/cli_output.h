// Output habits shared by the user-facing modes: listings as aligned columns with headers on
// a terminal and as tab-separated rows in pipes, one-line cells, and error texts for people.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessik {

// Writes `text` to standard output as it stands.
void write_stdout(std::string_view text);

// Prints "tessik <mode>: <message>" and a line break to standard error.
void print_mode_error(std::string_view mode, std::string_view message);

// `text` on one line: tabs, line breaks and every other control character become spaces, so a
// hostile name or body cannot break a row or drive the terminal.
std::string single_line(std::string_view text);

// At most `limit` bytes of single_line(text), cut on a UTF-8 boundary, with "..." when cut.
std::string preview_text(std::string_view text, std::size_t limit);

// A listing: one header per column, rows of cells (cells are made single-line when printed).
struct CliTable {
  std::vector<std::string> headers;
  std::vector<std::vector<std::string>> rows;
};

// With `for_terminal`: the headers, then each row, columns padded to their widest cell and
// separated by two spaces. Otherwise: rows only, cells separated by tabs, for scripts.
std::string render_table(const CliTable& table, bool for_terminal);

// Prints the table to standard output (render_table with the terminal test), or, when it has
// no rows, `empty_note` on standard error so that pipes stay empty. Returns 0.
int print_listing(const CliTable& table, std::string_view empty_note);

// True when the words after the mode are exactly "--help" or "-h".
bool asks_for_help(const std::vector<std::string>& args);

// A malformed command line: reported with the mode's usage and exit code 2.
class CliUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure with its own exit code (e.g. 3: the broker is not running).
class CliFailure : public std::runtime_error {
 public:
  CliFailure(const std::string& message, int exit_code)
      : std::runtime_error(message), exit_code(exit_code) {}
  int exit_code;
};

// The frame of a user-facing mode: --help prints `usage` to stdout (0); otherwise `body`
// runs and its result is the exit code. CliUsageError prints the message and `usage` to
// stderr (2), CliFailure its message (its code), any other exception its message (1).
int run_cli_mode(std::string_view mode, const char* usage, const std::vector<std::string>& args,
                 const std::function<int()>& body);

// The system's description of an error number ("No such file or directory").
std::string system_error_text(int error_number);

}  // namespace tessik
