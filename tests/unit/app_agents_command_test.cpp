// `tessik agents` run as a real process: the provider words it shows must be the ones the
// A2A listing shows for the same agents, so a user never sees two answers for one row.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "a2a/cards/cards.h"
#include "a2a/gateway/gateway_context.h"
#include "registry/registry.h"
#include "support/command_run.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

std::string run_agents(const test::TempEnv& env, const std::string& args) {
  const test::CommandRun run = test::run_tessik(env.root(), "agents " + args);
  EXPECT_EQ(run.code, 0) << run.err;
  return run.out;
}

TEST(AgentsCommand, ProviderWordsMatchTheA2AListing) {
  test::TempEnv env;
  run_agents(env,
             "add --provider claude_code_cli --session claude_code_cli:session:abc --name Coder");
  const nlohmann::json cli = nlohmann::json::parse(run_agents(env, "--json"));
  const nlohmann::json listing = nlohmann::json::parse(
      render_agent_listing(load_registry(default_registry()), GatewayContext{}));

  ASSERT_EQ(listing["count"], 2);
  int compared = 0;
  for (const nlohmann::json& entry : listing["agents"]) {
    for (const nlohmann::json& row : cli) {
      if (row["public_agent_id"] != entry["id"]) continue;
      EXPECT_EQ(row["provider_brand"], entry["provider"]) << row["provider"];
      EXPECT_EQ(row["provider_surface"], entry["surface"]) << row["provider"];
      ++compared;
    }
  }
  EXPECT_EQ(compared, 2);
  // The text listing ends each row with the same words.
  EXPECT_NE(run_agents(env, "").find("\tclaude/command_line\n"), std::string::npos);
}

}  // namespace
}  // namespace tessik
