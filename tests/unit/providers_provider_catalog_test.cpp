// Catalog matching, the normalization of unknown names and the factory predicate.
#include <gtest/gtest.h>

#include "providers/provider_catalog.h"

namespace tessik {
namespace {

TEST(ProviderCatalog, SpellingsOfOneProviderResolveToItsKey) {
  for (const char* name : {"claude_code_cli", "CLAUDE_CODE_CLI", " claude-code-cli ",
                           "claude code cli", "claude__code_cli", "claude", "Claude_CLI"}) {
    EXPECT_EQ(catalog_provider_key(name), "claude_code_cli") << name;
  }
  EXPECT_EQ(catalog_provider_key("Mailbox"), "tessik_mailbox");
  EXPECT_EQ(catalog_provider_key("TESSIK-MAILBOX"), "tessik_mailbox");
  EXPECT_EQ(catalog_provider_key("ag-cli"), "antigravity_cli");
  EXPECT_EQ(catalog_provider_key("agy"), "antigravity_cli");
  EXPECT_EQ(catalog_provider_key("vscode"), "vscode_native");
  EXPECT_EQ(catalog_provider_key("copilot_backed"), "vscode_copilot_backed");
  EXPECT_EQ(catalog_provider_key("vscode-copilot"), "vscode_copilot_backed");
  EXPECT_EQ(catalog_provider_key("codex_desktop"), "codex");
  EXPECT_EQ(catalog_provider_key("Codex-CLI"), "codex_cli");
  EXPECT_EQ(catalog_provider_key("opencode"), "opencode_cli");
  EXPECT_EQ(catalog_provider_key("remote_node"), "remote");
}

// Trimmed, lower-cased, and every run of blanks, dashes and underscores made one underscore.
TEST(ProviderCatalog, UnknownNamesComeBackNormalized) {
  EXPECT_EQ(catalog_provider_key("  Foo - Bar__baz---Q \t"), "foo_bar_baz_q");
  EXPECT_EQ(catalog_provider_key(""), "");
  EXPECT_EQ(find_provider_catalog_entry("foo"), nullptr);
  // "a2a" is a send target outside the catalog.
  EXPECT_EQ(find_provider_catalog_entry("a2a"), nullptr);
}

TEST(ProviderCatalog, CatalogOrderAndTransports) {
  const auto& catalog = provider_catalog();
  ASSERT_EQ(catalog.size(), 13u);
  EXPECT_EQ(catalog.front().key, "tessik_mailbox");
  EXPECT_EQ(catalog[3].key, "codex");
  EXPECT_EQ(catalog.back().key, "remote");
  const ProviderCatalogEntry* cursor = find_provider_catalog_entry("cursor_editor");
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->transports, std::vector<std::string>{"cursor_bridge"});
  EXPECT_EQ(&provider_catalog(), &catalog);  // built once
}

TEST(ProviderCatalog, FactoriesAreExactlyTheElevenLocalCreators) {
  int factories = 0;
  for (const ProviderCatalogEntry& entry : provider_catalog()) {
    if (is_provider_factory(entry.key)) ++factories;
  }
  EXPECT_EQ(factories, 11);
  for (const char* text : {"tessik_mailbox", "mailbox", "remote", "a2a", ""})
    EXPECT_FALSE(is_provider_factory(text)) << text;
  for (const char* text : {"Claude Code CLI", "agy", "codex-cli"})
    EXPECT_TRUE(is_provider_factory(text)) << text;
}

}  // namespace
}  // namespace tessik
