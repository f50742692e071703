// Authentication sources, the client registry format, scope tests, ownership and the
// sender identity a send takes from its caller.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "a2a/gateway/auth.h"
#include "a2a/gateway/scopes.h"
#include "base/sha256.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

GatewayRequest with_authorization(std::string value) {
  GatewayRequest request;
  request.method = "GET";
  request.target = "/a2a/agents";
  request.headers["authorization"] = std::move(value);
  return request;
}

class AuthTest : public ::testing::Test {
 protected:
  void write_clients(const std::string& text) {
    std::filesystem::create_directories(clients_path().parent_path());
    std::ofstream(clients_path(), std::ios::binary) << text;
  }
  std::filesystem::path clients_path() const { return env_.state_dir() / "a2a" / "clients.tsv"; }
  GatewayContext auth_context() const {
    GatewayContext context;
    context.require_auth = true;
    return context;
  }

  test::TempEnv env_;
};

TEST_F(AuthTest, TrustedBrokerPrincipalWinsWithoutAToken) {
  GatewayContext context = auth_context();
  context.trust_broker_principal = true;
  context.principal.authenticated = true;
  context.principal.client_id = "svc";
  const AuthenticationResult result = authenticate_a2a_request(GatewayRequest{}, context);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.principal.client_id, "svc");
  // Trust alone does not vouch for a principal the broker did not authenticate.
  context.principal.authenticated = false;
  context.local_bearer_token = "tok";
  EXPECT_FALSE(authenticate_a2a_request(GatewayRequest{}, context).ok);
}

TEST_F(AuthTest, AuthOffGivesAnAnonymousCallerThatPassesEveryScopeCheck) {
  GatewayContext context;
  context.require_auth = false;
  const AuthenticationResult result = authenticate_a2a_request(GatewayRequest{}, context);
  ASSERT_TRUE(result.ok);
  EXPECT_FALSE(result.principal.authenticated);
  EXPECT_FALSE(principal_has_scope(result.principal, "task.read"));
  EXPECT_FALSE(scope_denied(result.principal, "task.admin", context));
  EXPECT_FALSE(push_scope_denied(result.principal, context));
}

TEST_F(AuthTest, NoTokenSourceAnswers503) {
  const AuthenticationResult result =
      authenticate_a2a_request(with_authorization("Bearer x"), auth_context());
  ASSERT_FALSE(result.ok);
  EXPECT_EQ(result.error.status, 503);
  EXPECT_NE(result.error.body.find("TESSIK_A2A_TOKEN_NOT_CONFIGURED"), std::string::npos);
}

TEST_F(AuthTest, MissingOrMalformedAuthorizationIsAuthRequired) {
  GatewayContext context = auth_context();
  context.local_bearer_token = "secret";
  for (const char* value : {"", "bearer secret", "Bearer", "Basic abc", "Bearer\tsecret"}) {
    const AuthenticationResult result =
        authenticate_a2a_request(with_authorization(value), context);
    ASSERT_FALSE(result.ok) << value;
    EXPECT_EQ(result.error.status, 401);
    EXPECT_NE(result.error.body.find("TESSIK_A2A_AUTH_REQUIRED"), std::string::npos) << value;
    EXPECT_EQ(result.error.headers.at("WWW-Authenticate"), "Bearer");
  }
}

TEST_F(AuthTest, WrongTokenIsAuthInvalidWithTheInvalidTokenChallenge) {
  GatewayContext context = auth_context();
  context.local_bearer_token = "secret";
  for (const char* value : {"Bearer secreT", "Bearer ", "Bearer secret2"}) {
    const AuthenticationResult result =
        authenticate_a2a_request(with_authorization(value), context);
    ASSERT_FALSE(result.ok) << value;
    EXPECT_NE(result.error.body.find("TESSIK_A2A_AUTH_INVALID"), std::string::npos);
    EXPECT_EQ(result.error.headers.at("WWW-Authenticate"), "Bearer error=\"invalid_token\"");
  }
}

TEST_F(AuthTest, LocalTokenPrincipalHasTheDefaults) {
  GatewayContext context = auth_context();
  context.local_bearer_token = " secret ";
  context.principal.sender_agent = "local-a2a-client";
  const AuthenticationResult result =
      authenticate_a2a_request(with_authorization("Bearer   secret  "), context);
  ASSERT_TRUE(result.ok);
  const Principal& p = result.principal;
  EXPECT_TRUE(p.authenticated);
  EXPECT_EQ(p.client_id, "inline-token");
  EXPECT_EQ(p.principal_type, "inline");
  EXPECT_EQ(p.sender_agent, "local-a2a-client");
  EXPECT_EQ(p.sender_node, "local");
  EXPECT_EQ(p.token_sha256, sha256_hex("secret"));
  EXPECT_EQ(p.scopes,
            (std::vector<std::string>{"agent.read", "agent.send", "agent.create", "task.read"}));
  EXPECT_TRUE(scope_denied(p, "task.cancel", context));
  EXPECT_TRUE(push_scope_denied(p, context));
  EXPECT_FALSE(scope_denied(p, "agent.send", context));

  // Fields the broker principal already carries are kept.
  context.principal.client_id = "cli";
  context.principal.principal_type = "custom";
  context.principal.scopes = {"task.admin"};
  const Principal kept = *verify_bearer_token(context, "secret");
  EXPECT_EQ(kept.client_id, "cli");
  EXPECT_EQ(kept.principal_type, "custom");
  EXPECT_EQ(kept.scopes, std::vector<std::string>{"task.admin"});
}

TEST_F(AuthTest, ClientRegistryRowsAndTheirDefaults) {
  const std::string digest = sha256_hex("client-token");
  write_clients(
      "token_sha256\tclient\tagent\tnode\tscopes\n"
      "\n"
      "short\trow\n" +
      digest + "\tclient-a\tagent-a\t\t agent.send , ,Task.Read \r\n" + digest +
      "\tclient-dup\tagent-b\tnode-b\tagent.read\tcustom\textra\n" + sha256_hex("other") +
      "\t\tagent\tn\tx\n" + "token_sha256\tlate\theader\tn\tx\n");
  const std::vector<A2aClientRecord> rows = read_client_registry(clients_path());
  ASSERT_EQ(rows.size(), 3u);  // the late header counts as an ordinary row
  EXPECT_EQ(rows[0].sender_node, "local");
  EXPECT_EQ(rows[0].principal_type, "registry");
  EXPECT_EQ(rows[0].scopes, (std::vector<std::string>{"agent.send", "Task.Read"}));
  EXPECT_EQ(rows[1].principal_type, "custom");
  EXPECT_EQ(rows[2].client_id, "late");

  const AuthenticationResult result =
      authenticate_a2a_request(with_authorization("Bearer client-token"), auth_context());
  ASSERT_TRUE(result.ok);  // the registry file alone is a configured source
  EXPECT_EQ(result.principal.client_id, "client-a");  // first matching row wins
  EXPECT_TRUE(principal_has_scope(result.principal, "task.read"));
  EXPECT_FALSE(principal_has_scope(result.principal, "agent.read"));
}

TEST_F(AuthTest, UpperCaseDigestsNeverMatchAndMissingFilesAreEmpty) {
  EXPECT_TRUE(read_client_registry(clients_path()).empty());
  std::string upper = sha256_hex("t");
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  write_clients(upper + "\tc\ta\t\tagent.read\n");
  EXPECT_FALSE(verify_bearer_token(auth_context(), "t").has_value());
  EXPECT_FALSE(verify_bearer_token(auth_context(), "").has_value());
}

TEST(Scopes, WildcardsCaseAndBlanks) {
  Principal p;
  p.authenticated = true;
  p.scopes = {" Task.Read "};
  EXPECT_TRUE(principal_has_scope(p, "task.read"));
  EXPECT_TRUE(principal_has_scope(p, " TASK.READ"));
  EXPECT_FALSE(principal_has_scope(p, "task.push"));
  EXPECT_FALSE(has_push_scope(p));
  p.scopes = {"task.admin"};
  EXPECT_TRUE(has_push_scope(p));
  EXPECT_FALSE(principal_has_scope(p, "agent.send"));
  for (const char* wildcard : {"admin", "*", " ADMIN "}) {
    p.scopes = {wildcard};
    EXPECT_TRUE(principal_has_scope(p, "agent.create")) << wildcard;
  }
  p.authenticated = false;
  EXPECT_FALSE(principal_has_scope(p, "agent.create"));
}

TEST(Ownership, AdminsAnonymousClientsAndAgents) {
  Principal anonymous;
  EXPECT_TRUE(caller_owns_record({"someone", "a", "n"}, anonymous));

  Principal p;
  p.authenticated = true;
  p.client_id = "client-a";
  p.sender_agent = " agent-a ";
  p.sender_node = "";
  EXPECT_TRUE(caller_owns_record({"client-a", "x", "y"}, p));
  EXPECT_FALSE(caller_owns_record({"client-b", "agent-a", "local"}, p));
  EXPECT_FALSE(caller_owns_record({"Client-A", "agent-a", "local"}, p));
  // No owner client: the agent on the node decides ("local" for a blank node).
  EXPECT_TRUE(caller_owns_record({"  ", "agent-a", "local"}, p));
  EXPECT_FALSE(caller_owns_record({"", "agent-a", "remote"}, p));
  EXPECT_FALSE(caller_owns_record({"", "agent-b", "local"}, p));
  p.scopes = {"task.admin"};
  EXPECT_TRUE(caller_owns_record({"client-b", "z", "z"}, p));
}

TEST(SendIdentity, FromEachKindOfCaller) {
  GatewayContext context;
  Principal p;
  p.authenticated = true;
  p.client_id = "c";
  p.sender_agent = "a";
  p.sender_node = "n";
  SendSenderIdentity send;
  send.requester_agent = "explicit";
  apply_principal_to_send(send, context, p);
  EXPECT_EQ(send.requester_client_id, "c");
  EXPECT_EQ(send.requester_agent, "a");
  EXPECT_EQ(send.requester_node, "n");
  EXPECT_EQ(send.sender_resolution, "a2a_registry_principal");
  EXPECT_TRUE(send.principal_bound_sender);

  p.principal_type = "brokered-api-client";
  apply_principal_to_send(send, context, p);
  EXPECT_EQ(send.sender_resolution, "a2a_brokered-api-client_principal");
  p.principal_type = "  ";
  apply_principal_to_send(send, context, p);
  EXPECT_EQ(send.sender_resolution, "a2a_bearer_principal");

  SendSenderIdentity untouched;
  apply_principal_to_send(untouched, context, Principal{});  // auth on, anonymous
  EXPECT_EQ(untouched.sender_resolution, "");
  EXPECT_FALSE(untouched.principal_bound_sender);

  context.require_auth = false;
  SendSenderIdentity anonymous;
  anonymous.requester_agent = "given";
  apply_principal_to_send(anonymous, context, Principal{});
  EXPECT_EQ(anonymous.requester_client_id, "anonymous-a2a-client");
  EXPECT_EQ(anonymous.requester_agent, "given");
  EXPECT_EQ(anonymous.requester_node, "local");
  EXPECT_EQ(anonymous.sender_resolution, "a2a_no_auth_anonymous");
  EXPECT_TRUE(anonymous.principal_bound_sender);
}

}  // namespace
}  // namespace tessik

// The registry is parsed again only when the file changed; each kind of change must count.
namespace tessik {
namespace {

TEST_F(AuthTest, AChangedClientRegistryIsReadAgainWhateverChanged) {
  const auto row = [](const std::string& token, const std::string& client) {
    return sha256_hex(token) + "\t" + client + "\tagent\tlocal\ttask.read\n";
  };
  const auto client_of = [&](const std::string& token) -> std::string {
    const auto principal = verify_bearer_token(auth_context(), token);
    return principal ? principal->client_id : "";
  };
  // Old enough to be kept between requests.
  const auto age = [&](int seconds) {
    std::filesystem::last_write_time(clients_path(), std::filesystem::file_time_type::clock::now() -
                                                         std::chrono::seconds(seconds));
  };
  write_clients(row("token-one", "first"));
  age(60);
  EXPECT_EQ(client_of("token-one"), "first");
  EXPECT_EQ(client_of("token-one"), "first");

  // Rewritten in place, same size, another time.
  write_clients(row("token-two", "other"));
  age(50);
  EXPECT_EQ(client_of("token-one"), "");
  EXPECT_EQ(client_of("token-two"), "other");

  // Replaced by another file with the very same time and size.
  const std::filesystem::path fresh = clients_path().string() + ".new";
  std::ofstream(fresh, std::ios::binary) << row("token-3ee", "third");
  std::filesystem::last_write_time(fresh, std::filesystem::last_write_time(clients_path()));
  std::filesystem::rename(fresh, clients_path());
  EXPECT_EQ(client_of("token-two"), "");
  EXPECT_EQ(client_of("token-3ee"), "third");

  // A fresh change within the clock's granularity: same size, time left as it was set.
  const auto kept_time = std::filesystem::last_write_time(clients_path());
  write_clients(row("token-4ff", "fifth"));
  std::filesystem::last_write_time(clients_path(), kept_time);
  EXPECT_EQ(client_of("token-4ff"), "") << "while the stamp holds, the parsed registry answers";
  std::filesystem::remove(clients_path());
  EXPECT_EQ(client_of("token-3ee"), "");
}

}  // namespace
}  // namespace tessik
