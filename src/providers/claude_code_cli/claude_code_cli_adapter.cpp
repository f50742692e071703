// The Claude Code CLI adapter object of the adapter table: the three edges with the
// product's time limits.
#include "providers/claude_code_cli/claude_code_cli_adapter.h"

namespace tessik {
namespace {

class ClaudeCodeCliAdapter : public ProviderAdapter {
 public:
  DeliveryResult deliver(const DeliveryRequest& request) const override {
    return deliver_to_claude_code_cli(request);
  }
  CreateResult create(const CreateRequest& request) const override {
    return create_claude_code_cli_provider(request);
  }
  RenameResult rename(const RenameRequest& request) const override {
    return rename_claude_code_cli_session(request);
  }
};

}  // namespace

std::unique_ptr<ProviderAdapter> make_claude_code_cli_adapter() {
  return std::make_unique<ClaudeCodeCliAdapter>();
}

}  // namespace tessik
