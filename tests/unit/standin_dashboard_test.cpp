// The dashboard as the stand-in serves it: redirects, the embedded files with their policy
// headers, what is left to the broker, and the rules the page's own files must keep.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <regex>

#include "app/cli/dashboard_command.h"
#include "base/sha256.h"
#include "registry/local_secrets.h"
#include "standin/dashboard_files.h"
#include "standin/dashboard_http.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

GatewayRequest get(const std::string& target, const std::string& method = "GET") {
  GatewayRequest request;
  request.method = method;
  request.target = target;
  return request;
}

std::string_view file_named(std::string_view name) {
  for (const EmbeddedFile& file : dashboard_files()) {
    if (file.name == name) return file.bytes;
  }
  ADD_FAILURE() << "no embedded file " << name;
  return {};
}

TEST(DashboardPages, RootAndBareUiRedirectToThePage) {
  for (const char* target : {"/", "/?x=1", "/ui"}) {
    const std::optional<GatewayResponse> answer = answer_dashboard_request(get(target));
    ASSERT_TRUE(answer) << target;
    EXPECT_EQ(answer->status, 302) << target;
    EXPECT_EQ(answer->headers.at("Location"), "/ui/") << target;
  }
  // JSON-RPC on "/" and every A2A or data route stay with the broker.
  EXPECT_FALSE(answer_dashboard_request(get("/", "POST")));
  for (const char* target : {"/a2a/tasks", "/ui/api/mailbox", "/ui/api/deliveries?limit=2",
                             "/agents", "/.well-known/agent-card.json"}) {
    EXPECT_FALSE(answer_dashboard_request(get(target))) << target;
  }
}

TEST(DashboardPages, FilesComeWithTheirTypeAndPolicy) {
  const std::optional<GatewayResponse> index = answer_dashboard_request(get("/ui/"));
  ASSERT_TRUE(index);
  EXPECT_EQ(index->status, 200);
  EXPECT_EQ(index->content_type, "text/html; charset=utf-8");
  const std::string policy = index->headers.at("Content-Security-Policy");
  EXPECT_NE(policy.find("default-src 'none'"), std::string::npos);
  EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos);
  EXPECT_EQ(index->headers.at("X-Content-Type-Options"), "nosniff");

  // The page carries its style sheet and script itself, each admitted by its hash alone.
  // (Found by plain search: a regular expression over the whole script recurses too deeply.)
  std::map<std::string, std::string> blocks;
  for (const std::string element : {"style", "script"}) {
    const std::string open = "<" + element + ">";
    const std::string close = "</" + element + ">";
    const std::size_t start = index->body.find(open);
    const std::size_t end = index->body.find(close, start);
    if (start == std::string::npos || end == std::string::npos) continue;
    EXPECT_EQ(index->body.find(open, end), std::string::npos) << "a second " << element;
    blocks[element] = index->body.substr(start + open.size(), end - start - open.size());
  }
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks["style"], file_named("dashboard.css"));
  EXPECT_EQ(blocks["script"], file_named("dashboard.js"));
  for (const auto& [element, text] : blocks) {
    const std::string source = "'sha256-" + base64_encode(sha256_digest(text)) + "'";
    const std::string directive = element + "-src " + source + ";";
    EXPECT_NE(policy.find(directive), std::string::npos) << directive << " in " << policy;
  }
  EXPECT_EQ(index->body.find("src=\"/ui/"), std::string::npos) << "the page still loads a file";
  ASSERT_NE(index->body.rfind("</main>"), std::string::npos);
  EXPECT_GT(index->body.find("<script>"), index->body.rfind("</main>"))
      << "the script must follow every element it wires";

  // The files themselves keep the policy of files: nothing inline, this origin only.
  const std::optional<GatewayResponse> script = answer_dashboard_request(get("/ui/dashboard.js"));
  ASSERT_TRUE(script);
  EXPECT_EQ(script->headers.at("Content-Security-Policy"), kDashboardContentSecurityPolicy);

  // Every file the page refers to is served with a type the browser will run or apply.
  const std::string html(file_named("index.html"));
  const std::regex reference(R"re((?:src|href)="(/ui/[^"]+)")re");
  int references = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), reference);
       it != std::sregex_iterator(); ++it, ++references) {
    const std::string target = (*it)[1];
    const std::optional<GatewayResponse> file = answer_dashboard_request(get(target, "HEAD"));
    ASSERT_TRUE(file) << target;
    EXPECT_EQ(file->status, 200) << target;
    const std::string expected =
        target.ends_with(".js") ? "text/javascript; charset=utf-8" : "text/css; charset=utf-8";
    EXPECT_EQ(file->content_type, expected) << target;
  }
  EXPECT_EQ(references, 2);

  const std::optional<GatewayResponse> missing = answer_dashboard_request(get("/ui/../a2a/x"));
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(answer_dashboard_request(get("/ui/nothing.js"))->status, 404);
}

TEST(DashboardPages, PageFilesNeverTurnDataIntoMarkupOrRunInlineCode) {
  const std::string script(file_named("dashboard.js"));
  for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write",
                           "eval(", "new Function", "localStorage", "document.cookie"}) {
    EXPECT_EQ(script.find(sink), std::string::npos) << sink;
  }
  const std::string html(file_named("index.html"));
  EXPECT_FALSE(std::regex_search(html, std::regex(R"(<script(?![^>]*\bsrc=)[^>]*>)")));
  EXPECT_FALSE(std::regex_search(html, std::regex(R"(\son[a-z]+\s*=)", std::regex::icase)));
  EXPECT_FALSE(std::regex_search(html, std::regex(R"(\sstyle\s*=)")));
  // Every form control has a label.
  const std::regex control(R"re(<(?:input|select|textarea)[^>]*\bid="([^"]+)")re");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), control);
       it != std::sregex_iterator(); ++it) {
    const std::string id = (*it)[1];
    const bool labelled = html.find("for=\"" + id + "\"") != std::string::npos ||
                          std::regex_search(html, std::regex("<label><input[^>]*id=\"" + id));
    EXPECT_TRUE(labelled) << id;
  }
}

TEST(DashboardPages, ForwardedAnswersAreNotCachedUnlessTheySaySo) {
  GatewayResponse data;
  add_browser_headers(data);
  EXPECT_EQ(data.headers.at("Cache-Control"), "no-store");
  GatewayResponse card;
  card.headers["Cache-Control"] = "public, max-age=300";
  add_browser_headers(card);
  EXPECT_EQ(card.headers.at("Cache-Control"), "public, max-age=300");
}

TEST(DashboardCommand, OptionsAndAddress) {
  DashboardOptions options;
  std::string error;
  ASSERT_TRUE(parse_dashboard_options({}, options, error));
  EXPECT_TRUE(options.open);
  EXPECT_EQ(dashboard_url(options.base_url), "http://127.0.0.1:37661/ui/");
  ASSERT_TRUE(
      parse_dashboard_options({"--no-open", "--url", "http://127.0.0.1:9/"}, options, error));
  EXPECT_FALSE(options.open);
  EXPECT_EQ(dashboard_url(options.base_url), "http://127.0.0.1:9/ui/");
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--url"}, {"--url=ftp://x"}, {"--token"}, {"extra"}}) {
    DashboardOptions fresh;
    EXPECT_FALSE(parse_dashboard_options(bad, fresh, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(DashboardCommand, OpensThePageOnlyWhereADesktopIsSet) {
  test::TempEnv env;
  const std::filesystem::path bin = env.root() / "bin";
  const std::filesystem::path record = env.root() / "opened.txt";
  std::filesystem::create_directories(bin);
  std::ofstream(bin / "xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" >> '" << record.string()
                                  << "'\n";
  ::chmod((bin / "xdg-open").c_str(), 0700);
  env.set("PATH", bin.string());
  env.unset("DISPLAY");
  env.unset("WAYLAND_DISPLAY");

  EXPECT_EQ(run_dashboard_command({"--url", "http://127.0.0.1:9"}), 0);
  EXPECT_FALSE(std::filesystem::exists(record));
  env.set("WAYLAND_DISPLAY", "wayland-0");
  EXPECT_EQ(run_dashboard_command({"--url", "http://127.0.0.1:9", "--no-open"}), 0);
  EXPECT_FALSE(std::filesystem::exists(record));
  EXPECT_EQ(run_dashboard_command({"--url", "http://127.0.0.1:9"}), 0);
  // The page address alone: the token never travels in it.
  EXPECT_EQ(test::read_file(record), "http://127.0.0.1:9/ui/");
  EXPECT_EQ(run_dashboard_command({"--bogus"}), 2);
}

}  // namespace
}  // namespace tessik
