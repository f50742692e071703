// A stand-in for "tessik delivery-worker" used through TESSIK_EXE. FAKE_WORKER_MODE picks
// what it prints and how it exits; FAKE_WORKER_RECORD, when set, names a file that receives
// its arguments, two environment values and the request file's bytes (written to a sibling
// and renamed, so a reader never sees half of it).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value == nullptr ? fallback : value;
}

void record(int argc, char** argv) {
  const std::string path = env_or("FAKE_WORKER_RECORD", "");
  if (path.empty()) return;
  std::ostringstream out;
  std::string request_file;
  for (int i = 1; i < argc; ++i) {
    out << "arg=" << argv[i] << "\n";
    if (std::string(argv[i]) == "--request" && i + 1 < argc) request_file = argv[i + 1];
  }
  out << "operation_id=" << env_or("TESSIK_AGY_OPERATION_ID", "<unset>") << "\n";
  out << "depth=" << env_or("TESSIK_TEST_CHILD_DEPTH", "<unset>") << "\n";
  std::ifstream request(request_file, std::ios::binary);
  out << "request=" << request.rdbuf();
  std::ofstream(path + ".tmp", std::ios::binary) << out.str();
  std::rename((path + ".tmp").c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  record(argc, argv);
  const std::string mode = env_or("FAKE_WORKER_MODE", "accept");
  const char* accepted =
      "{\"type\":\"delivery_worker_result\",\"provider\":\"p\",\"state\":\"accepted_by_provider\","
      "\"accepted\":true,\"degraded\":false,\"method_used\":\"second\",\"evidence\":\"e2\","
      "\"error\":\"\"}\n";
  if (mode == "two_results") {
    std::fputs("noise before\n", stdout);
    std::fputs(
        "{\"type\":\"delivery_worker_result\",\"provider\":\"p\",\"state\":\"failed\","
        "\"accepted\":false,\"degraded\":true,\"method_used\":\"first\","
        "\"evidence\":\"e1\",\"error\":\"first error\"}\n",
        stdout);
    std::fputs(accepted, stdout);
    std::fputs("trailing noise\n", stdout);
    return 0;
  }
  if (mode == "no_result") {
    std::fputs("nothing useful here\n", stdout);
    return 0;
  }
  if (mode == "accept_exit_3") {
    std::fputs(accepted, stdout);
    return 3;
  }
  std::fputs(accepted, stdout);
  return 0;
}
