// Agent Cards and listings: content, byte stability, eligibility, URLs, factory detection.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "a2a/cards/cards.h"
#include "a2a/gateway/responses.h"
#include "providers/provider_tools.h"
#include "support/gateway_fixture.h"

namespace tessik {
namespace {

using nlohmann::json;

CardRenderOptions options_with(bool require_auth) {
  CardRenderOptions options;
  options.endpoint_url = "http://127.0.0.1:37661/a2a";
  options.require_auth = require_auth;
  return options;
}

TEST(GatewayCard, WithoutAuthHasNoSecurityMembers) {
  const json card = json::parse(render_gateway_card(options_with(false)));
  EXPECT_FALSE(card.contains("securitySchemes"));
  EXPECT_FALSE(card.contains("securityRequirements"));
  EXPECT_FALSE(card.contains("security"));
  EXPECT_EQ(card["supportsAuthenticatedExtendedCard"], false);
  EXPECT_EQ(card["capabilities"],
            json({{"streaming", false}, {"pushNotifications", true}, {"extendedAgentCard", true}}));
  EXPECT_EQ(card["protocolVersion"], "0.3");
  EXPECT_EQ(card["preferredTransport"], "JSONRPC");
  ASSERT_EQ(card["supportedInterfaces"].size(), 2u);
  EXPECT_EQ(card["supportedInterfaces"][0]["protocolBinding"], "HTTP+JSON");
  EXPECT_EQ(card["supportedInterfaces"][1]["protocolBinding"], "JSONRPC");
  EXPECT_EQ(card["additionalInterfaces"][1]["transport"], "JSONRPC");
  ASSERT_EQ(card["skills"].size(), 3u);
  EXPECT_EQ(card["skills"][0]["id"], "tessik.registry.discover-providers");
  EXPECT_EQ(card["skills"][2]["outputModes"], json({"text/plain"}));
}

TEST(GatewayCard, WithAuthDeclaresTheBearerScheme) {
  CardRenderOptions options = options_with(true);
  json card = json::parse(render_gateway_card(options));
  EXPECT_EQ(card["supportsAuthenticatedExtendedCard"], true);
  EXPECT_EQ(card["security"], json::parse(R"([{"localBearer":[]}])"));
  EXPECT_EQ(card["securityRequirements"], card["security"]);
  EXPECT_EQ(card["securitySchemes"]["localBearer"]["httpAuthSecurityScheme"]["scheme"], "Bearer");

  options.security_scheme_name = " corp ";
  options.security_scopes = {" task.read", "agent.read", "", "task.read", "  "};
  card = json::parse(render_gateway_card(options));
  EXPECT_EQ(card["security"], json::parse(R"([{"corp":["agent.read","task.read"]}])"));
  EXPECT_TRUE(card["securitySchemes"].contains("corp"));
}

TEST(GatewayCard, RendersByteStablePrettyTextWithSortedKeys) {
  const std::string first = render_gateway_card(options_with(true));
  EXPECT_EQ(first, render_gateway_card(options_with(true)));
  EXPECT_EQ(card_etag(first), card_etag(render_gateway_card(options_with(true))));
  EXPECT_NE(card_etag(first), card_etag(render_gateway_card(options_with(false))));
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.back(), '\n');
  EXPECT_EQ(first.substr(0, 4), "{\n  ");
  EXPECT_NE(first.find("\n  \"additionalInterfaces\": ["), std::string::npos);
  // Top-level keys come in byte order.
  std::vector<std::size_t> positions;
  for (const char* key :
       {"additionalInterfaces", "capabilities", "defaultInputModes", "security", "securitySchemes",
        "skills", "supportsAuthenticatedExtendedCard", "url", "version"}) {
    positions.push_back(first.find("\n  \"" + std::string(key) + "\": "));
    EXPECT_NE(positions.back(), std::string::npos) << key;
  }
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
}

TEST(CardUrls, TrailingSlashesAreDropped) {
  EXPECT_EQ(agent_endpoint_url(" http://h/a2a/ ", "id"), "http://h/a2a/agents/id/a2a");
  EXPECT_EQ(agent_card_url("http://h/a2a//", "id"),
            "http://h/a2a/agents/id/.well-known/agent-card.json");
  EXPECT_EQ(factory_endpoint_url("http://h/a2a", "tessik.provider.codex"),
            "http://h/a2a/providers/tessik.provider.codex/a2a");
  EXPECT_EQ(card_url_base("/"), "/");
  EXPECT_EQ(card_url_base(""), "");
}

TEST(ProviderWords, BrandsAndSurfaces) {
  EXPECT_EQ(provider_brand(" VSCode_Copilot_Backed "), "vscode");
  EXPECT_EQ(provider_brand("copilot_cli"), "copilot");
  EXPECT_EQ(provider_brand("claude_code_cli"), "claude");
  EXPECT_EQ(provider_brand("tessik_mailbox"), "unknown");
  EXPECT_EQ(provider_surface("claude-code-cli"), "command_line");
  EXPECT_EQ(provider_surface("cursor"), "editor");
  EXPECT_EQ(factory_display_name("cursor_cli"), "Cursor Agent CLI");
  EXPECT_EQ(factory_display_name("other"), "other");
}

class WrappedCards : public ::testing::Test {
 protected:
  test::GatewayFixture f_;
  AgentRecord sendable_ = test::make_agent("a1", "claude_code_cli", "sess-1");
  AgentRecord downgraded_ = test::make_agent("a2", "codex", "sess-2", false);
};

TEST_F(WrappedCards, SendableAgentCard) {
  CardRenderOptions options = options_with(true);
  options.endpoint_url = agent_endpoint_url(options.endpoint_url, sendable_.public_agent_id);
  const std::string text = render_wrapped_agent_card(sendable_, options);
  EXPECT_EQ(text, render_wrapped_agent_card(sendable_, options));
  const json card = json::parse(text);
  EXPECT_EQ(card["name"], "Agent a1");
  EXPECT_EQ(card["description"], "Tessik-wrapped claude command_line agent.");
  EXPECT_EQ(card["url"], options.endpoint_url);
  EXPECT_EQ(card["supportedInterfaces"][0]["url"], options.endpoint_url);
  ASSERT_EQ(card["skills"].size(), 1u);
  const json& skill = card["skills"][0];
  EXPECT_EQ(skill["id"], "tessik.chat");
  EXPECT_EQ(skill["tags"],
            json({"wrapped-provider", "provider:claude", "surface:command_line", "sendable"}));
  EXPECT_EQ(skill["metadata"]["tessikTargetId"], sendable_.public_agent_id);
  EXPECT_EQ(card["metadata"]["tessikSendable"], true);
  EXPECT_EQ(card["metadata"]["tessikExportEligible"], true);
  EXPECT_FALSE(card["metadata"].contains("tessikProviderSessionId"));

  options.authenticated = true;
  const json full = json::parse(render_wrapped_agent_card(sendable_, options));
  EXPECT_EQ(full["metadata"]["tessikProviderSessionId"], "sess-1");
  EXPECT_EQ(full["metadata"]["tessikNodeId"], "local");
  EXPECT_EQ(full["metadata"]["tessikSourceOfTruth"], "manual");
}

TEST_F(WrappedCards, DowngradedAgentOnlyOnTheExtendedCard) {
  CardRenderOptions options = options_with(false);
  EXPECT_THROW(render_wrapped_agent_card(downgraded_, options), std::invalid_argument);
  options.extended = true;
  const json card = json::parse(render_wrapped_agent_card(downgraded_, options));
  EXPECT_EQ(card["description"],
            "Tessik-wrapped codex agent_window agent, currently unavailable for delivery.");
  EXPECT_EQ(card["skills"][0]["id"], "tessik.session.status");
  EXPECT_EQ(card["skills"][0]["metadata"]["tessikSendable"], false);
  EXPECT_EQ(card["skills"][0]["tags"][3], "not-sendable");
  EXPECT_EQ(card["metadata"]["tessikExportEligible"], false);

  AgentRecord disabled = sendable_;
  disabled.enabled = false;
  EXPECT_THROW(render_wrapped_agent_card(disabled, options), std::invalid_argument);
}

TEST_F(WrappedCards, AgentListingIsSortedCompactAndSkipsHiddenRows) {
  AgentRecord second = test::make_agent("a3", "cursor", "sess-3");
  const std::string text = render_agent_listing({sendable_, downgraded_, second}, f_.context);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  const json listing = json::parse(text);
  EXPECT_EQ(listing["schemaVersion"], 1);
  ASSERT_EQ(listing["count"], 2);
  const json& agents = listing["agents"];
  EXPECT_LT(agents[0]["id"].get<std::string>(), agents[1]["id"].get<std::string>());
  for (const json& entry : agents) {
    EXPECT_NE(entry["id"], downgraded_.public_agent_id);
    EXPECT_EQ(entry["endpointUrl"],
              "http://127.0.0.1:37661/a2a/agents/" + entry["id"].get<std::string>() + "/a2a");
  }
  EXPECT_EQ(render_agent_listing({}, f_.context), R"({"agents":[],"count":0,"schemaVersion":1})");
}

TEST_F(WrappedCards, FactoryDetectionFromToolsAndSessions) {
  // A fake claude tool in the fixture's PATH, and a registered codex session.
  const std::filesystem::path tool = f_.env.root() / "bin" / "claude";
  std::ofstream(tool) << "#!/bin/sh\n";
  std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
  std::ofstream(f_.env.root() / "bin" / "opencode") << "not executable";

  const std::vector<ProviderFactory> factories = list_provider_factories({downgraded_, sendable_});
  ASSERT_EQ(factories.size(), 11u);
  EXPECT_EQ(factories[0].id, "tessik.provider.vscode_native");  // catalog order
  const auto claude = find_provider_factory(factories, "tessik.provider.claude_code_cli");
  ASSERT_TRUE(claude);
  EXPECT_TRUE(claude->detected);
  EXPECT_EQ(claude->detection_evidence, std::vector<std::string>{"executable:" + tool.string()});
  // codex's only session is not export-eligible, so it does not count.
  const auto codex = find_provider_factory(factories, "tessik.provider.codex");
  EXPECT_FALSE(codex->detected);
  EXPECT_EQ(codex->detection_evidence, std::vector<std::string>{"not-detected"});
  EXPECT_TRUE(codex->create_supported);  // an undetected factory is still creatable
  EXPECT_FALSE(find_provider_factory(factories, "tessik.provider.opencode_cli")->detected);
  EXPECT_FALSE(find_provider_factory(factories, "tessik.provider.tessik_mailbox"));

  // Claude Code's per-user install wins over PATH.
  const std::filesystem::path home_tool = f_.env.root() / "home" / ".local" / "bin" / "claude";
  std::filesystem::create_directories(home_tool.parent_path());
  std::filesystem::copy_file(tool, home_tool);
  EXPECT_EQ(locate_provider_tool("claude_code_cli").path, home_tool);
  std::filesystem::remove(home_tool);
  // So does an install under the npm prefix the user set in ~/.npmrc (the last setting counts).
  const std::filesystem::path npm_tool = f_.env.root() / "home" / ".npm-global" / "bin" / "claude";
  std::filesystem::create_directories(npm_tool.parent_path());
  std::filesystem::copy_file(tool, npm_tool);
  std::ofstream(f_.env.root() / "home" / ".npmrc")
      << "; user settings\nprefixes=/elsewhere\nprefix=/old\nprefix = ~/.npm-global\n";
  EXPECT_EQ(locate_provider_tool("claude_code_cli").path, npm_tool);
  std::filesystem::remove(npm_tool);

  std::filesystem::remove(tool);
  const auto registered = find_provider_factory(list_provider_factories({sendable_}),
                                                "tessik.provider.claude_code_cli");
  EXPECT_TRUE(registered->detected);
  EXPECT_EQ(registered->detection_evidence,
            std::vector<std::string>{"registered-provider-session"});
}

TEST_F(WrappedCards, FactoryCardsAndListing) {
  const std::vector<ProviderFactory> factories = list_provider_factories({});
  const ProviderFactory cursor = *find_provider_factory(factories, "tessik.provider.cursor");
  CardRenderOptions options = options_with(false);
  const json card = json::parse(render_provider_factory_card(cursor, options));
  EXPECT_EQ(card["name"], "Cursor Agents Agent Factory");
  EXPECT_EQ(card["description"],
            "Creates and enrolls a new Cursor Agents session through Tessik's provider-native "
            "creation workflow.");
  EXPECT_EQ(card["skills"][0]["tags"],
            json({"tessik", "provider:cursor", "surface:editor", "not-detected"}));
  EXPECT_EQ(card["skills"][0]["inputModes"], json({"text/plain", "application/json"}));
  EXPECT_EQ(card["metadata"]["tessikCreateSupported"], true);
  EXPECT_FALSE(card["metadata"].contains("tessikDetectionEvidence"));
  options.authenticated = true;
  EXPECT_EQ(json::parse(render_provider_factory_card(
                cursor, options))["metadata"]["tessikDetectionEvidence"],
            json({"not-detected"}));
  ProviderFactory broken = cursor;
  broken.create_supported = false;
  EXPECT_THROW(render_provider_factory_card(broken, options), std::invalid_argument);
  broken = cursor;
  broken.name = " ";
  EXPECT_THROW(render_provider_factory_card(broken, options), std::invalid_argument);

  const json listing = json::parse(render_provider_listing(factories, f_.context));
  EXPECT_EQ(listing["count"], 11);
  const json& first = listing["providers"][0];
  EXPECT_EQ(first["provider"], "vscode_native");
  EXPECT_EQ(first["brand"], "vscode");
  EXPECT_EQ(first["agentCardUrl"],
            "http://127.0.0.1:37661/a2a/providers/tessik.provider.vscode_native/.well-known/"
            "agent-card.json");
}

}  // namespace
}  // namespace tessik
