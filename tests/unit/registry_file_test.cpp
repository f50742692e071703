// The agents file: tolerant reading, the mailbox row, byte-exact rendering, snapshot metadata
// and the mutation transaction's outcomes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "base/sha256.h"
#include "registry/normalization.h"
#include "registry/registry.h"
#include "state/state_dir.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::write_file;

std::string header() {
  return std::string(registry_header_line()) + "\n";
}

// A 13-field row in the oldest layout.
std::string legacy_row(std::string_view id, std::string_view session, std::string_view sendable) {
  return std::string(id) + "\tName " + std::string(id) + "\ta|b\tcodex\t" + std::string(session) +
         "\tlocal\ttrue\t" + std::string(sendable) + "\tscan\t2026-01-01T00:00:00Z\t\t\t";
}

RegistryMutationOptions quick_options() {
  return RegistryMutationOptions{RegistryDeadline::after(2'000'000'000), std::nullopt};
}

class RegistryFileTest : public ::testing::Test {
 protected:
  test::TempEnv env_;
  fs::path path_ = agents_registry_path();
};

TEST(RegistryFields, BooleansAndIntegers) {
  for (const char* text : {"TRUE", "  yes ", "1", "Enabled"})
    EXPECT_TRUE(parse_bool_field(text)) << text;
  for (const char* text : {"on", "2", ""})
    EXPECT_FALSE(parse_bool_field(text)) << text;
  EXPECT_EQ(parse_int_field(" 42 "), 42);
  EXPECT_EQ(parse_int_field("-7"), -7);
  EXPECT_EQ(parse_int_field("2147483647"), 2147483647);
  for (const char* text : {"2147483648", "12abc", ""})
    EXPECT_EQ(parse_int_field(text), 0) << text;
}

TEST(RegistryRows, FieldCountTolerance) {
  EXPECT_FALSE(parse_agent_row("a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl"));  // 12 fields
  const auto legacy = parse_agent_row(legacy_row("id1", "s1", "yes"));
  ASSERT_TRUE(legacy);
  EXPECT_EQ(legacy->agent_id, "id1");
  EXPECT_EQ(legacy->aliases, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(legacy->sendable);
  // Normalization filled the fields the old layout lacks.
  EXPECT_EQ(legacy->normalization_schema, kNormalizedAgentSchema);
  EXPECT_EQ(legacy->delivery_verification_source, "legacy_registry_sendable_state");
  EXPECT_EQ(legacy->public_agent_id.size(), 45u);

  // 18 fields: the binding columns are read, the identity columns are derived.
  const auto middle =
      parse_agent_row(legacy_row("id2", "s2", "false") + "\tschema-x\teditor\tbind\tresp\ttrue");
  ASSERT_TRUE(middle);
  EXPECT_EQ(middle->normalization_schema, "schema-x");
  EXPECT_EQ(middle->provider_surface, "editor");
  EXPECT_EQ(middle->delivery_binding, "bind");
  EXPECT_FALSE(middle->delivery_binding_verified);  // recomputed, not read

  // 23+ fields: everything read; extra fields ignored; a CR stays in the last field.
  const auto full = parse_agent_row(legacy_row("id3", "s3", "true") +
                                    "\ts\tu\tb\tr\tfalse\tpub-1\tsrc\tprov\t77\tClash\textra\r");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->public_agent_id, "pub-1");
  EXPECT_EQ(full->normalization_confidence, 77);
  EXPECT_EQ(full->normalization_conflict_state, "Clash");
  const auto with_cr = parse_agent_row(legacy_row("id4", "s4", "true") +
                                       "\ts\tu\tb\tr\tfalse\tpub\tsrc\tprov\t77\tnone\r");
  ASSERT_TRUE(with_cr);
  EXPECT_EQ(with_cr->normalization_conflict_state, "none\r");
}

TEST(RegistryRows, SanitizingRepairsTextAndDropsBadAliases) {
  std::string line = legacy_row("bad\xC3(id", "s", "true");
  line.replace(line.find("a|b"), 3, "ok| |x\xFFy|");
  const auto row = parse_agent_row(line);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->agent_id, "bad\xEF\xBF\xBD(id");
  EXPECT_EQ(row->aliases, std::vector<std::string>{"ok"});
}

TEST(RegistryRows, RenderingReplacesSeparatorsAndRoundTrips) {
  AgentRecord record;
  record.agent_id = "a1";
  record.display_name = "tab\there\nline\rcr";
  record.aliases = {"one", "two"};
  record.provider = " Codex-CLI ";
  record.provider_session_id = "sess";
  record.node_id = "local";
  record.sendable = true;
  record.normalization_confidence = -5;
  const std::string line = format_agent_row(record);
  EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 22);
  EXPECT_TRUE(
      line.starts_with("a1\ttab here line cr\tone|two\tcodex_cli\tsess\tlocal\ttrue\ttrue\t"))
      << line;
  const auto back = parse_agent_row(line);
  ASSERT_TRUE(back);
  EXPECT_EQ(format_agent_row(*back), line);
  const std::string text = render_registry({record, *back});
  EXPECT_EQ(text, header() + line + "\n" + line + "\n");
}

TEST_F(RegistryFileTest, MissingFileIsTheMailboxAlone) {
  const RegistrySnapshot snapshot = read_registry_snapshot(path_);
  EXPECT_FALSE(snapshot.metadata.exists);
  EXPECT_EQ(snapshot.metadata.size, 0u);
  EXPECT_EQ(snapshot.metadata.sha256, "");
  EXPECT_TRUE(snapshot.metadata.mailbox_added);
  ASSERT_EQ(snapshot.rows.size(), 1u);
  const AgentRecord& mailbox = snapshot.rows[0];
  EXPECT_EQ(mailbox.agent_id, "tessik-mailbox-local-default");
  EXPECT_EQ(mailbox.display_name, "Tessik Mailbox");
  EXPECT_EQ(mailbox.aliases,
            (std::vector<std::string>{"mailbox", "tessik-mailbox", "tessik_mailbox"}));
  EXPECT_EQ(mailbox.source, "builtin_tessik_mailbox");
  EXPECT_EQ(mailbox.last_verified_at, "builtin");
  EXPECT_TRUE(is_agent_deliverable(mailbox));
  EXPECT_TRUE(is_agent_a2a_exposed(mailbox));
  EXPECT_EQ(load_registry(Registry(path_)).size(), 1u);
}

TEST_F(RegistryFileTest, ReadSkipsHeaderBlankAndShortRowsAndDigestsRawBytes) {
  const std::string content = header() + legacy_row("r1", "s1", "true") + "\n  \t \n" +
                              "short\trow\n" + header() + legacy_row("r2", "s2", "false");
  write_file(path_, content);
  const RegistrySnapshot snapshot = read_registry_snapshot(path_);
  // The second header line is parsed like a row and is long enough to be one.
  ASSERT_EQ(snapshot.rows.size(), 4u);
  EXPECT_EQ(snapshot.rows[0].agent_id, "r1");
  EXPECT_EQ(snapshot.rows[1].agent_id, "agent_id");
  EXPECT_EQ(snapshot.rows[2].agent_id, "r2");
  EXPECT_TRUE(is_builtin_mailbox(snapshot.rows[3]));
  EXPECT_TRUE(snapshot.metadata.exists);
  EXPECT_EQ(snapshot.metadata.size, content.size());
  EXPECT_EQ(snapshot.metadata.sha256, sha256_hex(content));
  EXPECT_EQ(snapshot.content, content);
}

// Loads may reuse an earlier parse; every change of the file must still show, whether it is
// rewritten in place with the same size, replaced, grown or removed.
TEST_F(RegistryFileTest, LoadsSeeEveryChangeOfASettledFile) {
  const auto settle = [&](int seconds_ago) {
    fs::last_write_time(path_, fs::file_time_type::clock::now() - std::chrono::seconds(seconds_ago));
  };
  const auto ids = [&] {
    RegistrySnapshot snapshot;
    std::string error;
    EXPECT_EQ(read_registry_locked(path_, RegistryDeadline::after(kRegistryLoadTimeoutNs),
                                   snapshot, error),
              RegistryStatus::unchanged)
        << error;
    EXPECT_EQ(snapshot.metadata.sha256, sha256_hex(read_file(path_)));
    std::string joined;
    for (const AgentRecord& row : snapshot.rows) joined += row.agent_id + " ";
    return joined;
  };
  const std::string mailbox = "tessik-mailbox-local-default ";
  write_file(path_, header() + legacy_row("r1", "s1", "true") + "\n");
  settle(60);
  EXPECT_EQ(ids(), "r1 " + mailbox);
  EXPECT_EQ(ids(), "r1 " + mailbox);

  // Same size, same file, rewritten in place.
  {
    std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(header().size()));
    file << "r2";
  }
  EXPECT_EQ(ids(), "r2 " + mailbox);
  settle(50);
  EXPECT_EQ(ids(), "r2 " + mailbox);

  // Replaced by another file carrying the very time the cached one had.
  const fs::path other = path_.parent_path() / "replacement.tsv";
  write_file(other, header() + legacy_row("r3", "s1", "true") + "\n");
  fs::last_write_time(other, fs::last_write_time(path_));
  fs::rename(other, path_);
  EXPECT_EQ(ids(), "r3 " + mailbox);
  settle(40);
  EXPECT_EQ(ids(), "r3 " + mailbox);

  std::ofstream(path_, std::ios::app | std::ios::binary) << legacy_row("r4", "s4", "true") << "\n";
  EXPECT_EQ(ids(), "r3 r4 " + mailbox);
  settle(30);
  EXPECT_EQ(ids(), "r3 r4 " + mailbox);
  EXPECT_EQ(load_registry(Registry(path_)).size(), 3u);

  fs::remove(path_);
  EXPECT_EQ(load_registry(Registry(path_)).size(), 1u);
}

TEST_F(RegistryFileTest, DirectoryInPlaceOfTheFileIsAReadError) {
  fs::create_directories(path_);
  try {
    read_registry_snapshot(path_);
    ADD_FAILURE() << "expected an error";
  } catch (const RegistryError& e) {
    EXPECT_EQ(std::string(e.what()), "could not read registry: " + path_.string());
  }
  try {
    load_registry(Registry(path_));
    ADD_FAILURE() << "expected an error";
  } catch (const RegistryError& e) {
    EXPECT_EQ(std::string(e.what()),
              "registry load failed: io_error: could not read registry: " + path_.string());
  }
  const auto result = mutate_registry(
      path_, [](std::vector<AgentRecord>&, const RegistrySnapshotMetadata&) { return true; },
      quick_options());
  EXPECT_EQ(result.status, RegistryStatus::io_error);
  EXPECT_TRUE(fs::is_directory(path_));
}

TEST_F(RegistryFileTest, FirstCommitWritesMailboxAndUpgradesShortRows) {
  write_file(path_, header() + legacy_row("r1", "s1", "true") + "\nx\ty\n");
  const auto result = mutate_registry(
      path_,
      [](std::vector<AgentRecord>& rows, const RegistrySnapshotMetadata& before) {
        EXPECT_TRUE(before.mailbox_added);
        EXPECT_EQ(rows.size(), 2u);
        return true;
      },
      quick_options());
  ASSERT_EQ(result.status, RegistryStatus::committed) << result.error;
  const std::string written = read_file(path_);
  EXPECT_EQ(result.after.size, written.size());
  EXPECT_EQ(result.after.sha256, sha256_hex(written));
  EXPECT_FALSE(result.after.mailbox_added);
  EXPECT_TRUE(result.before.mailbox_added);
  EXPECT_EQ(written.find("x\ty"), std::string::npos);  // the garbage row is gone
  const RegistrySnapshot again = read_registry_snapshot(path_);
  ASSERT_EQ(again.rows.size(), 2u);
  EXPECT_FALSE(again.metadata.mailbox_added);
  EXPECT_EQ(render_registry(again.rows), written);
  for (const auto& line : {again.rows[0], again.rows[1]}) {
    const std::string row = format_agent_row(line);
    EXPECT_EQ(std::count(row.begin(), row.end(), '\t'), 22);
  }
}

TEST_F(RegistryFileTest, NoOpMutationLeavesTheFileUntouched) {
  ASSERT_EQ(
      mutate_registry(
          path_, [](std::vector<AgentRecord>&, const RegistrySnapshotMetadata&) { return true; },
          quick_options())
          .status,
      RegistryStatus::committed);
  const auto stamp = fs::last_write_time(path_);
  const std::string content = read_file(path_);
  const auto result = mutate_registry(
      path_, [](std::vector<AgentRecord>&, const RegistrySnapshotMetadata&) { return true; },
      quick_options());
  EXPECT_EQ(result.status, RegistryStatus::unchanged);
  EXPECT_EQ(result.after, result.before);
  EXPECT_EQ(fs::last_write_time(path_), stamp);
  EXPECT_EQ(read_file(path_), content);
  // A callback reporting no change is believed even if it edited its copy.
  const auto ignored = mutate_registry(
      path_,
      [](std::vector<AgentRecord>& rows, const RegistrySnapshotMetadata&) {
        rows.clear();
        return false;
      },
      quick_options());
  EXPECT_EQ(ignored.status, RegistryStatus::unchanged);
  EXPECT_EQ(read_file(path_), content);
}

TEST_F(RegistryFileTest, StaleExpectationFailsWithoutCallingTheCallback) {
  write_file(path_, header() + legacy_row("r1", "s1", "true") + "\n");
  const RegistrySnapshot snapshot = read_registry_snapshot(path_);
  RegistryMutationOptions options = quick_options();
  options.expected = RegistryExpectation{true, snapshot.metadata.size, std::string(64, '0')};
  bool called = false;
  auto mark = [&](std::vector<AgentRecord>&, const RegistrySnapshotMetadata&) {
    called = true;
    return true;
  };
  EXPECT_EQ(mutate_registry(path_, mark, options).status, RegistryStatus::precondition_failed);
  EXPECT_FALSE(called);
  options.expected->sha256 = snapshot.metadata.sha256;
  EXPECT_EQ(mutate_registry(path_, mark, options).status, RegistryStatus::committed);
  EXPECT_TRUE(called);
}

TEST_F(RegistryFileTest, FailingCallbacksAndCancellationWriteNothing) {
  const auto throwing = mutate_registry(
      path_,
      [](std::vector<AgentRecord>&, const RegistrySnapshotMetadata&) -> bool {
        throw std::runtime_error("callback broke");
      },
      quick_options());
  EXPECT_EQ(throwing.status, RegistryStatus::io_error);
  EXPECT_EQ(throwing.error, "callback broke");
  const auto odd = mutate_registry(
      path_, [](std::vector<AgentRecord>&, const RegistrySnapshotMetadata&) -> bool { throw 7; },
      quick_options());
  EXPECT_EQ(odd.error, "unknown registry mutation failure");
  const auto empty = mutate_registry(path_, RegistryMutation(), quick_options());
  EXPECT_EQ(empty.status, RegistryStatus::io_error);
  EXPECT_EQ(empty.error, "registry mutation callback is empty");

  // Cancellation requested inside the callback stops the publish.
  std::stop_source stop;
  RegistryMutationOptions options{RegistryDeadline::after(2'000'000'000, stop.get_token()), {}};
  const auto cancelled = mutate_registry(
      path_,
      [&](std::vector<AgentRecord>& rows, const RegistrySnapshotMetadata&) {
        rows.clear();
        stop.request_stop();
        return true;
      },
      options);
  EXPECT_EQ(cancelled.status, RegistryStatus::cancelled);
  EXPECT_FALSE(fs::exists(path_));
  // And the lock was released on each of those paths.
  EXPECT_EQ(
      mutate_registry(
          path_, [](std::vector<AgentRecord>&, const RegistrySnapshotMetadata&) { return true; },
          quick_options())
          .status,
      RegistryStatus::committed);
}

TEST_F(RegistryFileTest, LoadReportsLockTimeoutWhileAMutationHoldsTheLock) {
  // The callback runs under the lock; a load from inside it cannot get the lock.
  RegistryMutationOptions options = quick_options();
  std::string seen;
  mutate_registry(
      path_,
      [&](std::vector<AgentRecord>&, const RegistrySnapshotMetadata&) {
        RegistrySnapshot snapshot;
        std::string error;
        const auto status =
            read_registry_locked(path_, RegistryDeadline::after(30'000'000), snapshot, error);
        seen = registry_status_word(status);
        return false;
      },
      options);
  EXPECT_EQ(seen, "lock_timeout");
}

}  // namespace
}  // namespace tessik
