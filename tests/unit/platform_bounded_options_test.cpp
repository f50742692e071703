// What a bounded run refuses before anything starts: option checks and their order, the
// depth variable, executable identity and self-launch, the child's environment, PATH lookup.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/bounded_process.h"
#include "platform/bounded_process_detail.h"
#include "support/build_paths.h"
#include "support/temp_env.h"

namespace tessik::platform {
namespace {

const std::filesystem::path kChild = std::filesystem::path(TESSIK_HELPER_DIR) / "tessik_test_child";

BoundedProcessOptions valid_options() {
  return make_bounded_options(kChild, {"exit", "0"}, 10000);
}

std::filesystem::path own_executable() {
  return std::filesystem::canonical("/proc/self/exe");
}

class BoundedOptionsTest : public ::testing::Test {
 protected:
  test::TempEnv env_;
};

TEST(ChildDepthTest, ParsesOnlyPlainDecimalNumbersInRange) {
  EXPECT_EQ(detail::parse_child_depth(nullptr).depth, 0u);
  EXPECT_EQ(detail::parse_child_depth(nullptr).error, "");
  EXPECT_EQ(detail::parse_child_depth("").error,
            "TESSIK_TEST_CHILD_DEPTH must be a non-empty unsigned integer");
  for (const char* bad : {"-1", "+1", " 1", "1 ", "0x10", "1.5", "abc"}) {
    EXPECT_EQ(detail::parse_child_depth(bad).error,
              "TESSIK_TEST_CHILD_DEPTH must be an unsigned integer")
        << bad;
  }
  const std::string thirty_one(31, '0');
  EXPECT_EQ(detail::parse_child_depth((thirty_one.substr(2) + "12").c_str()).depth, 12u);
  EXPECT_EQ(detail::parse_child_depth(std::string(32, '0').c_str()).error,
            "TESSIK_TEST_CHILD_DEPTH is too long");
  EXPECT_EQ(detail::parse_child_depth("4294967295").depth, 4294967295u);
  EXPECT_EQ(detail::parse_child_depth("4294967296").error,
            "TESSIK_TEST_CHILD_DEPTH exceeds the supported range");
  EXPECT_EQ(detail::parse_child_depth("99999999999999999999").error,
            "TESSIK_TEST_CHILD_DEPTH exceeds the supported range");
}

// The runs drive the builder's program, arguments, time-out, depth and self-launch; the
// process limits and the bare defaults show only here.
TEST_F(BoundedOptionsTest, BuilderLimitsAndBareDefaults) {
  const auto options = make_bounded_options("/bin/true", {"a"}, 1234);
  EXPECT_EQ(options.launch_budget, 64u);
  EXPECT_EQ(options.active_process_limit, 16u);
  EXPECT_FALSE(options.error_dialog_flag);
  const BoundedProcessOptions defaults;
  EXPECT_EQ(defaults.maximum_depth, 1u);
  EXPECT_EQ(defaults.launch_budget, 1u);
  EXPECT_FALSE(defaults.self_launch_allowed);
  EXPECT_TRUE(defaults.error_dialog_flag);
}

TEST_F(BoundedOptionsTest, EachCheckRefusesWithItsOwnMessage) {
  struct Case {
    const char* expected;
    void (*spoil)(BoundedProcessOptions&);
  };
  const Case cases[] = {
      {"bounded process executable must be an absolute path",
       [](BoundedProcessOptions& o) { o.executable = "tessik_test_child"; }},
      {"bounded process expected executable must be an absolute path",
       [](BoundedProcessOptions& o) { o.expected_executable.clear(); }},
      {"bounded process recursion depth limit reached",
       [](BoundedProcessOptions& o) { o.recursion_depth = 16; }},
      {"bounded process launch budget is exhausted",
       [](BoundedProcessOptions& o) { o.launch_budget = 0; }},
      {"bounded process active process limit must be positive",
       [](BoundedProcessOptions& o) { o.active_process_limit = 0; }},
      {"bounded process timeout must be positive",
       [](BoundedProcessOptions& o) { o.timeout_ms = 0; }},
      {"bounded process deferred input requires a readiness predicate",
       [](BoundedProcessOptions& o) { o.deferred_input = "x"; }},
      {"bounded process readiness timeout must be positive",
       [](BoundedProcessOptions& o) {
         o.readiness_predicate = [](std::string_view) { return true; };
         o.readiness_timeout_ms = 0;
       }},
      {"bounded process input limit exceeded",
       [](BoundedProcessOptions& o) {
         o.input_limit = 4;
         o.initial_input = "abc";
         o.deferred_input = "de";
         o.readiness_predicate = [](std::string_view) { return true; };
       }},
      {"bounded process input limit exceeded",
       [](BoundedProcessOptions& o) {
         o.input_limit = 1 << 30;  // the ceiling still applies
         o.initial_input.assign(kMaxBoundedInputBytes + 1, 'i');
       }},
      {"bounded process executable must name an existing regular file",
       [](BoundedProcessOptions& o) { o.executable = o.expected_executable = "/"; }},
      {"bounded process expected executable must name an existing regular file",
       [](BoundedProcessOptions& o) { o.expected_executable = "/nonexistent/program"; }},
      {"bounded process working directory must be an absolute path",
       [](BoundedProcessOptions& o) { o.working_directory = "relative"; }},
      {"bounded process working directory must name an existing directory",
       [](BoundedProcessOptions& o) { o.working_directory = kChild; }},
  };
  for (const Case& c : cases) {
    auto options = valid_options();
    c.spoil(options);
    const auto result = run_bounded_process(options);
    EXPECT_EQ(result.error, c.expected);
    EXPECT_EQ(result.exit_code, -1);
    EXPECT_EQ(result.output, "");
  }
  // A timeout of 0 is fine when the time-out is switched off.
  auto untimed = valid_options();
  untimed.timeout_enabled = false;
  untimed.timeout_ms = 0;
  EXPECT_EQ(run_bounded_process(untimed).error, "");
}

TEST_F(BoundedOptionsTest, FirstFailingCheckWins) {
  auto options = valid_options();
  options.executable = "/nonexistent/program";
  options.expected_executable = "/nonexistent/program";
  options.launch_budget = 0;
  EXPECT_EQ(run_bounded_process(options).error, "bounded process launch budget is exhausted");
  options.recursion_depth = 100;
  EXPECT_EQ(run_bounded_process(options).error, "bounded process recursion depth limit reached");
}

TEST_F(BoundedOptionsTest, DepthFromTheEnvironmentRefusesBeforeAnythingIsOpened) {
  // The program does not even exist: a refusal that names the depth was decided first.
  env_.set("TESSIK_TEST_CHILD_DEPTH", "16");
  const auto result = run_bounded_process(make_bounded_options("/nonexistent/program", {}, 1000));
  EXPECT_EQ(result.error, "bounded process recursion depth limit reached");
  env_.set("TESSIK_TEST_CHILD_DEPTH", "15");
  EXPECT_EQ(run_bounded_process(make_bounded_options("/nonexistent/program", {}, 1000)).error,
            "bounded process executable must name an existing regular file");
  env_.set("TESSIK_TEST_CHILD_DEPTH", "junk");
  EXPECT_EQ(run_bounded_process(valid_options()).error,
            "TESSIK_TEST_CHILD_DEPTH must be an unsigned integer");
}

TEST_F(BoundedOptionsTest, ExpectedExecutableMustBeTheSameFile) {
  auto options = valid_options();
  options.expected_executable = "/bin/sh";
  EXPECT_EQ(run_bounded_process(options).error,
            "bounded process executable identity does not match the expected executable");
  const auto link = env_.root() / "child-link";
  std::filesystem::create_symlink(kChild, link);
  options.expected_executable = link;
  EXPECT_EQ(run_bounded_process(options).error, "");
}

TEST_F(BoundedOptionsTest, OwnExecutableIsRefusedUnderAnyNameUnlessAllowed) {
  const auto self = own_executable();
  const auto symlink = env_.root() / "self-symlink";
  const auto hardlink = env_.root() / "self-hardlink";
  std::filesystem::create_symlink(self, symlink);
  std::filesystem::create_hard_link(self, hardlink);
  for (const auto& path : {self, symlink, hardlink}) {
    auto options = make_bounded_options(path, {"--gtest_filter=NoSuchTest.*"}, 60000);
    options.self_launch_allowed = false;
    const auto refused = run_bounded_process(options);
    EXPECT_EQ(refused.error, "bounded process must not launch the current executable") << path;
    EXPECT_EQ(refused.exit_code, -1);
  }
  const auto allowed =
      run_bounded_process(make_bounded_options(hardlink, {"--gtest_filter=NoSuchTest.*"}, 120000));
  EXPECT_EQ(allowed.error, "");
  EXPECT_EQ(allowed.exit_code, 0);
}

TEST(ChildEnvironmentTest, AppliesOverridesAndSetsTheDepth) {
  std::vector<std::string> out;
  std::string error;
  ASSERT_TRUE(detail::build_child_environment({"A=1", "B=2", "TESSIK_TEST_CHILD_DEPTH=9", "C=x=y"},
                                              {{"B", "new"}, {"D", ""}}, 4, out, error));
  EXPECT_EQ(out,
            (std::vector<std::string>{"A=1", "C=x=y", "B=new", "D=", "TESSIK_TEST_CHILD_DEPTH=4"}));

  for (const char* name : {"TESSIK_TEST_CHILD_DEPTH", "tessik_test_child_depth"}) {
    EXPECT_FALSE(detail::build_child_environment({}, {{name, "0"}}, 1, out, error));
    EXPECT_EQ(error, "environment override of TESSIK_TEST_CHILD_DEPTH is not allowed");
  }
  EXPECT_FALSE(detail::build_child_environment({}, {{"A=B", "0"}}, 1, out, error));
  EXPECT_EQ(error, "invalid environment override: A=B");
  EXPECT_FALSE(detail::build_child_environment({}, {{"", "0"}}, 1, out, error));
}

// When several limits stop a run at once, one message wins; each single cause has its own
// run in the bounded-process tests.
TEST(StopMessageTest, PicksTheMessageByPriority) {
  BoundedProcessResult result;
  EXPECT_EQ(detail::stop_message(result), "");
  const std::pair<bool BoundedProcessResult::*, const char*> causes[] = {
      {&BoundedProcessResult::active_process_limit_exceeded,
       "bounded process active process limit exceeded"},
      {&BoundedProcessResult::launch_budget_exceeded, "bounded process launch budget exceeded"},
      {&BoundedProcessResult::output_limit_exceeded, "bounded process output limit exceeded"},
      {&BoundedProcessResult::timed_out, "bounded process timed out"},
      {&BoundedProcessResult::readiness_timed_out, "process readiness condition timed out"},
      {&BoundedProcessResult::cancelled, "bounded process cancelled"}};
  for (const auto& [cause, message] : causes) {  // each one outranks those set before it
    result.*cause = true;
    EXPECT_EQ(detail::stop_message(result), message);
  }
}

class PathLookupTest : public BoundedOptionsTest {
 protected:
  std::filesystem::path make_file(const std::filesystem::path& path, bool executable) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    std::filesystem::permissions(
        path, executable ? std::filesystem::perms::owner_all : std::filesystem::perms::owner_read);
    return path;
  }
};

TEST_F(PathLookupTest, FindsTheFirstExecutableRegularFile) {
  const auto root = env_.root();
  make_file(root / "a" / "tool", false);                     // not executable: skipped
  std::filesystem::create_directories(root / "b" / "tool");  // a directory: skipped
  const auto wanted = make_file(root / "c" / "tool", true);
  make_file(root / "d" / "tool", true);  // later in the list: not reached
  env_.set("PATH", (root / "a").string() + ":" + (root / "b").string() + ":" +
                       (root / "c").string() + ":" + (root / "d").string());
  const auto found = resolve_executable_on_path("tool");
  EXPECT_EQ(found.error, "");
  EXPECT_EQ(found.path, wanted);
  EXPECT_TRUE(found.path.is_absolute());

  EXPECT_EQ(resolve_executable_on_path("tool.exe").error,
            "process executable was not found on PATH: tool.exe");
  EXPECT_EQ(resolve_executable_on_path("").error, "process executable is empty");
  EXPECT_EQ(resolve_executable_on_path(wanted.string()).path, wanted);
}

TEST_F(PathLookupTest, RelativeEntriesResolveToAbsolutePaths) {
  const auto wanted = make_file(env_.root() / "rel" / "tool", true);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(env_.root());
  env_.set("PATH", "rel");
  const auto found = resolve_executable_on_path("tool");
  std::filesystem::current_path(previous);
  EXPECT_EQ(found.error, "");
  EXPECT_TRUE(found.path.is_absolute());
  EXPECT_TRUE(std::filesystem::equivalent(found.path, wanted));
}

}  // namespace
}  // namespace tessik::platform
