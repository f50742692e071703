// Codex desktop IPC request texts: exact shapes, escaping of hostile values, the request-id
// placeholder and the client-discovery answer.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "providers/codex/codex_ipc_frames.h"
#include "providers/codex/codex_ipc_messages.h"

namespace tessik {
namespace {

using nlohmann::json;

CodexTurnInput hostile_input() {
  CodexTurnInput input;
  input.thread_id = "thr\"ead";
  input.body = "line1\n\"requestId\":\"REQ\" \\ \x01 end";
  input.cwd = "/home/u/my \"proj\"";
  input.client_message_id = "client-1";
  input.message_id = "m\"1";
  input.target_agent = "Agent \\ One";
  return input;
}

TEST(CodexMessages, RequestsHaveTheirExactText) {
  EXPECT_EQ(codex_initialize_request("r-1"),
            R"({"type":"request","requestId":"r-1","method":"initialize","version":0,)"
            R"("params":{"clientType":"tessik"}})");
  EXPECT_EQ(
      codex_owner_probe_request("r-2", "t\"1"),
      R"({"type":"request","requestId":"r-2","method":"thread-follower-load-complete-history",)"
      R"("version":1,"params":{"conversationId":"t\"1"}})");

  // The turn templates, member order included, with plain values.
  const CodexTurnInput plain{"T", "B", "/w", "C", "M", "A"};
  EXPECT_EQ(codex_start_turn_template(plain),
            R"({"type":"request","requestId":"REQ","method":"thread-follower-start-turn",)"
            R"("version":1,"params":{"conversationId":"T","turnStartParams":{"input":)"
            R"([{"type":"text","text":"B","text_elements":[]}],"serviceTier":null,)"
            R"("clientUserMessageId":"C"}}})");
  EXPECT_EQ(codex_steer_turn_template(plain),
            R"({"type":"request","requestId":"REQ","method":"thread-follower-steer-turn",)"
            R"("version":1,"params":{"conversationId":"T","clientUserMessageId":"C","input":)"
            R"([{"type":"text","text":"B","text_elements":[]}],"serviceTier":null,)"
            R"("attachments":[],"restoreMessage":{"id":"C","text":"B","context":{"prompt":"B",)"
            R"("addedFiles":[],"fileAttachments":[],"ideContext":null,"imageAttachments":[],)"
            R"("workspaceRoots":["/w"]},"cwd":"/w","createdAt":0,"responsesapiClientMetadata":)"
            R"({"message_metadata":"{\"source\":\"tessik\",\"transport\":\"codex_desktop_ipc\",)"
            R"(\"message_id\":\"M\",\"target_agent\":\"A\",\"target_thread_id\":\"T\"}"}}}})");
}

TEST(CodexMessages, StartTemplateKeepsThePlaceholderUntilFilled) {
  const CodexTurnInput input = hostile_input();
  const std::string start = codex_start_turn_template(input);
  const auto filled = fill_codex_request_template(start, "id-9");
  ASSERT_TRUE(filled.has_value());
  const json parsed = json::parse(*filled);
  EXPECT_EQ(parsed["requestId"], "id-9");
  EXPECT_EQ(parsed["params"]["conversationId"], input.thread_id);
  const json& turn = parsed["params"]["turnStartParams"];
  // The placeholder text inside the body is escaped, so only the real one was replaced.
  EXPECT_EQ(
      turn["input"],
      json::array({{{"type", "text"}, {"text", input.body}, {"text_elements", json::array()}}}));
  EXPECT_EQ(turn["clientUserMessageId"], "client-1");
  EXPECT_FALSE(fill_codex_request_template(R"({"type":"request"})", "id").has_value());
}

TEST(CodexMessages, SteerTemplateCarriesTheRestoreMessageAndDoubleEscapedMetadata) {
  const CodexTurnInput input = hostile_input();
  const json parsed =
      json::parse(*fill_codex_request_template(codex_steer_turn_template(input), "x"));
  const json& restore = parsed["params"]["restoreMessage"];
  EXPECT_EQ(restore["text"], input.body);
  EXPECT_EQ(restore["cwd"], input.cwd);
  EXPECT_EQ(restore["context"]["workspaceRoots"], json::array({input.cwd}));
  const std::string metadata = restore["responsesapiClientMetadata"]["message_metadata"];
  EXPECT_EQ(json::parse(metadata), json({{"source", "tessik"},
                                         {"transport", "codex_desktop_ipc"},
                                         {"message_id", "m\"1"},
                                         {"target_agent", "Agent \\ One"},
                                         {"target_thread_id", "thr\"ead"}}));
}

TEST(CodexMessages, DiscoveryAnswerEchoesTheRequestAndDeclines) {
  const json request = {{"type", "client-discovery-request"},
                        {"requestId", "q\"1"},
                        {"discoveryId", "d-2"},
                        {"method", "open"}};
  EXPECT_EQ(codex_client_discovery_answer(request),
            R"({"type":"client-discovery-response","requestId":"q\"1","discoveryId":"d-2",)"
            R"("method":"open","params":{"clientType":"tessik","canHandle":false}})");
  const json odd = {{"type", "client-discovery-request"}, {"requestId", 7}};
  EXPECT_EQ(json::parse(codex_client_discovery_answer(odd))["requestId"], "");
}

TEST(CodexMessages, BodiesAboveTheFrameLimitAreRefusedBeforeAnyWrite) {
  platform::LocalConnection never_connected;
  EXPECT_EQ(write_codex_frame(never_connected, std::string(kCodexMaxFrameBytes + 1, 'x'), 0),
            "Codex Desktop IPC frame too large");
  // A body within the limit passes the size check; the write then fails on no connection.
  EXPECT_NE(write_codex_frame(never_connected, "{}", 0), "Codex Desktop IPC frame too large");
}

}  // namespace
}  // namespace tessik
