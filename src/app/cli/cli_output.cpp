// Shared output helpers of the user-facing modes.
#include "app/cli/cli_output.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "base/text.h"
#include "platform/terminal.h"

namespace tessik {

void write_stdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void print_mode_error(std::string_view mode, std::string_view message) {
  std::string line = "tessik ";
  line += mode;
  line += ": ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string single_line(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = ' ';
  }
  return out;
}

std::string preview_text(std::string_view text, std::size_t limit) {
  std::string line = trim(single_line(text));
  if (line.size() <= limit) return line;
  std::size_t cut = limit;
  // Step back over continuation bytes so a character is never split.
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
    --cut;
  return line.substr(0, cut) + "...";
}

namespace {

// Display width in characters: UTF-8 continuation bytes take no column.
std::size_t display_width(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

void append_row(std::string& out, const std::vector<std::string>& cells,
                const std::vector<std::size_t>& widths, bool for_terminal) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const std::string cell = single_line(cells[i]);
    out += cell;
    if (i + 1 == cells.size()) break;
    if (for_terminal) {
      out.append(widths[i] - display_width(cell) + 2, ' ');
    } else {
      out += '\t';
    }
  }
  out += '\n';
}

}  // namespace

std::string render_table(const CliTable& table, bool for_terminal) {
  std::vector<std::size_t> widths(table.headers.size(), 0);
  if (for_terminal) {
    for (std::size_t i = 0; i < widths.size(); ++i)
      widths[i] = display_width(table.headers[i]);
    for (const auto& row : table.rows) {
      for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i)
        widths[i] = std::max(widths[i], display_width(single_line(row[i])));
    }
  }
  std::string out;
  if (for_terminal) append_row(out, table.headers, widths, true);
  for (const auto& row : table.rows)
    append_row(out, row, widths, for_terminal);
  return out;
}

int print_listing(const CliTable& table, std::string_view empty_note) {
  if (table.rows.empty()) {
    std::string line(empty_note);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    return 0;
  }
  write_stdout(render_table(table, platform::stdout_is_terminal()));
  return 0;
}

bool asks_for_help(const std::vector<std::string>& args) {
  return args.size() == 1 && (args[0] == "--help" || args[0] == "-h");
}

int run_cli_mode(std::string_view mode, const char* usage, const std::vector<std::string>& args,
                 const std::function<int()>& body) {
  if (asks_for_help(args)) {
    std::fputs(usage, stdout);
    return 0;
  }
  try {
    return body();
  } catch (const CliUsageError& error) {
    print_mode_error(mode, error.what());
    std::fputs(usage, stderr);
    return 2;
  } catch (const CliFailure& failure) {
    print_mode_error(mode, failure.what());
    return failure.exit_code;
  } catch (const std::exception& failure) {
    print_mode_error(mode, failure.what());
    return 1;
  }
}

std::string system_error_text(int error_number) {
  return std::generic_category().message(error_number);
}

}  // namespace tessik
