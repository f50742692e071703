// Rows of agents.tsv and clients.tsv. An agent row that parses must survive a write and a
// second read unchanged; the client registry reader must take any file.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string_view>

#include "a2a/gateway/auth.h"
#include "fuzz_support.h"
#include "registry/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessik;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t end = std::min(text.find('\n', begin), text.size());
    if (const std::optional<AgentRecord> row = parse_agent_row(text.substr(begin, end - begin))) {
      const std::string written = format_agent_row(*row);
      const std::optional<AgentRecord> again = parse_agent_row(written);
      if (!again || format_agent_row(*again) != written) __builtin_trap();
    }
    begin = end + 1;
  }
  static const std::filesystem::path clients = fuzz::scratch_root() / "clients.tsv";
  std::ofstream(clients, std::ios::binary | std::ios::trunc) << text;
  read_client_registry(clients);
  return 0;
}
