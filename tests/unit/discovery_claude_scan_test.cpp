// Claude Code CLI session discovery: which transcripts become sendable candidates, which stay
// evidence only and why, what is ignored, the file limit, and enrolment through the merge.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "discovery/claude_session_scan.h"
#include "discovery/discovery_merge.h"
#include "discovery/targeted_discovery.h"
#include "registry/registry.h"
#include "state/state_dir.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kValid[] = "11111111-2222-4333-8444-555555555555";
constexpr char kNoProof[] = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee";
constexpr char kGoneCwd[] = "AAAAAAAA-BBBB-4CCC-8DDD-FFFFFFFFFFFF";
constexpr char kNoCwd[] = "99999999-8888-4777-8666-555555555555";

class ClaudeScanTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  fs::path projects = env.root() / ".claude" / "projects";
  fs::path workdir = env.root() / "work";

  void SetUp() override {
    env.set("HOME", env.root().string());
    fs::create_directories(workdir);
  }

  void write(const std::string& name, const std::vector<json>& records,
             const std::string& dir = "-work") {
    fs::create_directories(projects / dir);
    std::ofstream out(projects / dir / name);
    for (const json& record : records) out << record.dump() << "\n";
  }

  const DiscoveredCandidate* find(const DiscoveryReport& report, const std::string& uuid) {
    for (const DiscoveredCandidate& c : report.discovered) {
      if (c.provider_session_id == "claude_code_cli:session:" + uuid) return &c;
    }
    return nullptr;
  }
};

TEST_F(ClaudeScanTest, ValidTranscriptIsAnActiveCandidateWithItsEvidence) {
  write(std::string(kValid) + ".jsonl",
        {{{"type", "user"}, {"sessionId", kValid}, {"cwd", workdir.string()}},
         {{"type", "summary"}, {"lastPrompt", "fix it"}},
         {{"type", "custom-title"}, {"customTitle", "Fixer"}, {"sessionId", kValid}}});
  const DiscoveryReport report = scan_claude_sessions(projects, false);
  ASSERT_EQ(report.discovered.size(), 1u);
  const DiscoveredCandidate& c = report.discovered[0];
  EXPECT_EQ(c.display_name, "Fixer");
  EXPECT_EQ(c.provider, "claude_code_cli");
  EXPECT_EQ(c.node_id, "local");
  EXPECT_EQ(c.status, "active");
  EXPECT_TRUE(c.sendable_claim);
  EXPECT_TRUE(c.second_proof);
  EXPECT_EQ(c.error, "");
  EXPECT_EQ(c.source, "claude_code_cli_jsonl");
  EXPECT_EQ(c.evidence, (std::vector<std::string>{
                            "jsonl=" + (projects / "-work" / (std::string(kValid) + ".jsonl")).string(),
                            std::string("session_id=") + kValid, "cwd=" + workdir.string(),
                            "last_prompt_seen=true"}));
  EXPECT_TRUE(report.complete);
  EXPECT_TRUE(report.scan_issues.empty());
  EXPECT_FALSE(scan_claude_sessions(projects, true).complete) << "a targeted pass is partial";
}

TEST_F(ClaudeScanTest, UnprovenSessionsStayEvidenceOnlyWithTheFirstIssue) {
  write(std::string(kNoProof) + ".jsonl", {{{"type", "user"}, {"cwd", "/nowhere"}}});
  write(std::string(kGoneCwd) + ".jsonl",
        {{{"sessionId", kGoneCwd}, {"cwd", (env.root() / "deleted").string()}}});
  write(std::string(kNoCwd) + ".jsonl", {{{"sessionId", kNoCwd}}});
  const DiscoveryReport report = scan_claude_sessions(projects, false);
  ASSERT_EQ(report.discovered.size(), 3u);
  const struct {
    const char* uuid;
    std::string issue;
  } cases[] = {
      {kNoProof, "Claude JSONL did not contain matching sessionId proof"},
      {kGoneCwd, "Claude session cwd no longer exists: " + (env.root() / "deleted").string()},
      {kNoCwd, "Claude JSONL did not contain a cwd for documented CLI resume"},
  };
  for (const auto& expected : cases) {
    const DiscoveredCandidate* c = find(report, expected.uuid);
    ASSERT_NE(c, nullptr) << expected.uuid;
    EXPECT_EQ(c->status, "evidence_only") << expected.uuid;
    EXPECT_FALSE(c->sendable_claim) << expected.uuid;
    EXPECT_EQ(c->error, expected.issue);
    EXPECT_EQ(c->display_name, "Claude Code CLI " + std::string(expected.uuid).substr(0, 8));
  }
}

TEST_F(ClaudeScanTest, NonUuidNamesAndRepeatedSessionsAreIgnored) {
  write("notes.jsonl", {{{"sessionId", "notes"}, {"cwd", workdir.string()}}});
  write("11111111-2222-4333-8444-55555555555.jsonl", {{{"cwd", workdir.string()}}});
  write("11111111+2222-4333-8444-555555555555.jsonl", {{{"cwd", workdir.string()}}});
  write(std::string(kValid) + ".json", {{{"sessionId", kValid}, {"cwd", workdir.string()}}});
  write(std::string(kValid) + ".jsonl", {{{"sessionId", kValid}, {"cwd", workdir.string()}}}, "a");
  write(std::string(kValid) + ".jsonl", {{{"sessionId", kValid}, {"cwd", workdir.string()}}}, "b");
  const DiscoveryReport report = scan_claude_sessions(projects, false);
  ASSERT_EQ(report.discovered.size(), 1u);
  EXPECT_EQ(report.discovered[0].provider_session_id, std::string("claude_code_cli:session:") + kValid);
}

// Takes away the capabilities that let root read any file, for this process only.
void drop_read_override() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return;
  data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
  ::syscall(SYS_capset, &header, data);
}

TEST_F(ClaudeScanTest, UnreadableTranscriptIsSkippedRatherThanReportedUnproven) {
  write(std::string(kValid) + ".jsonl", {{{"sessionId", kValid}, {"cwd", workdir.string()}}});
  fs::permissions(projects / "-work" / (std::string(kValid) + ".jsonl"), fs::perms::none);
  // The scan runs in a child that cannot read the file even when the tests run as root.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    drop_read_override();
    const DiscoveryReport report = scan_claude_sessions(projects, false);
    ::_exit(report.discovered.empty() && report.scan_issues.empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unreadable file was reported";
}

TEST_F(ClaudeScanTest, MissingProjectsDirectoryIsAScanIssue) {
  const DiscoveryReport report = scan_claude_sessions(projects, false);
  EXPECT_TRUE(report.discovered.empty());
  EXPECT_FALSE(report.complete);
  EXPECT_EQ(report.scan_issues,
            std::vector<std::string>{"Claude projects directory was not found: " + projects.string()});
}

TEST_F(ClaudeScanTest, FileLimitStopsTheWalkAndIsReported) {
  fs::create_directories(projects / "many");
  for (int i = 0; i < 2501; ++i) {
    char uuid[37];
    std::snprintf(uuid, sizeof uuid, "%08d-0000-4000-8000-000000000000", i);
    std::ofstream(projects / "many" / (std::string(uuid) + ".jsonl"))
        << json{{"sessionId", uuid}}.dump() << "\n";
  }
  DiscoveryReport report = scan_claude_sessions(projects, false);
  EXPECT_EQ(report.discovered.size(), 2500u);
  EXPECT_FALSE(report.complete);
  EXPECT_EQ(report.scan_issues,
            std::vector<std::string>{"bounded scan stopped at file limit under " + projects.string()});
  // The limit is the walk's: with a small one the same tree stops early.
  report = scan_claude_sessions(projects, false, 10);
  EXPECT_EQ(report.discovered.size(), 10u);
}

TEST_F(ClaudeScanTest, TargetedPassEnrolsOnlyTheValidSession) {
  write(std::string(kValid) + ".jsonl",
        {{{"type", "user"}, {"sessionId", kValid}, {"cwd", workdir.string()}},
         {{"type", "custom-title"}, {"customTitle", "Fixer"}}});
  write(std::string(kNoProof) + ".jsonl", {{{"type", "user"}, {"cwd", workdir.string()}}});
  const Registry registry(agents_registry_path());
  const EvidenceLog log(events_log_path());
  DiscoveryReport report;
  EXPECT_EQ(discover_target_after_registry_miss(report, "Fixer", registry, nodes_registry_path(), log),
            kSendableTargetFound);
  EXPECT_EQ(report.enrolled, 1u);
  const std::vector<AgentRecord> rows = load_registry(registry);
  std::size_t claude_rows = 0;
  for (const AgentRecord& row : rows) {
    if (row.provider != "claude_code_cli") continue;
    ++claude_rows;
    EXPECT_EQ(row.display_name, "Fixer");
    EXPECT_EQ(row.provider_session_id, std::string("claude_code_cli:session:") + kValid);
    EXPECT_TRUE(row.sendable);
  }
  EXPECT_EQ(claude_rows, 1u);
}

}  // namespace
}  // namespace tessik
