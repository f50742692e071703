// Protected secrets: round trips, entropy binding, key file creation, the Base64 codec,
// the machine scope and node pairing secrets in the node registry.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "registry/local_secrets.h"
#include "registry/lock_publish.h"
#include "registry/nodes.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using test::read_file;

unsigned mode_of(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

class SecretsTest : public ::testing::Test {
 protected:
  std::string protect(std::string_view plain, std::string_view entropy) {
    std::string error;
    std::string text = protect_local_secret(plain, entropy, error);
    EXPECT_EQ(error, "");
    return text;
  }

  test::TempEnv env_;
  fs::path key_file_ = env_.state_dir() / "keys" / "user.key";
};

TEST(Base64, EncodesWithPaddingAndDecodesLeniently) {
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("f"), "Zg==");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foo"), "Zm9v");
  EXPECT_EQ(base64_encode("foob"), "Zm9vYg==");
  EXPECT_EQ(base64_encode(std::string("\xFB\xFF\x00", 3)), "+/8A");
  EXPECT_EQ(base64_decode("Zm9v\r\nYg =="), "foob");
  EXPECT_EQ(base64_decode("=Z=g\t"), "f");
  EXPECT_EQ(base64_decode("+/8A"), std::string("\xFB\xFF\x00", 3));
  EXPECT_EQ(base64_decode("Zm9vY"), "foo");  // trailing bits that make no byte are dropped
  for (std::string bad : {"Zm9v-", "Zm9v_", "Zm\x80", "Zm.v"}) {
    try {
      base64_decode(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "invalid base64 character");
    }
  }
  std::string all;
  for (int i = 0; i < 256; ++i)
    all.push_back(static_cast<char>(i));
  EXPECT_EQ(base64_decode(base64_encode(all)), all);
}

TEST_F(SecretsTest, RoundTripCreatesAPrivateKeyOnce) {
  const std::string text = protect("s3cret value", "");
  ASSERT_TRUE(text.starts_with("dpapi-user-v1:")) << text;
  EXPECT_TRUE(is_user_protected_secret(text));
  EXPECT_FALSE(is_machine_protected_secret(text));
  EXPECT_EQ(text.find_first_of(" \t\r\n"), std::string::npos);
  EXPECT_EQ(text.find("s3cret"), std::string::npos);
  std::string error;
  EXPECT_EQ(unprotect_local_user_secret(text, "", error), "s3cret value");
  EXPECT_EQ(error, "");

  EXPECT_EQ(mode_of(key_file_), 0600u);
  EXPECT_EQ(mode_of(key_file_.parent_path()), 0700u);
  const std::string key = read_file(key_file_);
  EXPECT_EQ(key.size(), 32u);
  // A second protection reuses the key, and uses a fresh nonce.
  const std::string again = protect("s3cret value", "");
  EXPECT_EQ(read_file(key_file_), key);
  EXPECT_NE(again, text);
  // Nothing but the key file holds the key's bytes: no temporary left, nothing logged.
  for (const auto& entry : fs::recursive_directory_iterator(env_.root())) {
    if (!entry.is_regular_file() || entry.path() == key_file_) continue;
    EXPECT_EQ(read_file(entry.path()).find(key), std::string::npos) << entry.path();
    EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
  }
  // An empty secret is a secret too: it round-trips and is told apart from a failure.
  const std::string empty = protect("", "e");
  error.clear();
  EXPECT_EQ(unprotect_local_user_secret(empty, "e", error), "");
  EXPECT_EQ(error, "");
}

TEST_F(SecretsTest, ConcurrentFirstUseSettlesOnOneKey) {
  // Every first user races to create the key; whoever loses must use the winner's key, or
  // the values it protected would never open again.
  constexpr int kThreads = 8;
  std::vector<std::string> texts(kThreads);
  std::vector<std::string> errors(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back(
          [&, i] { texts[i] = protect_local_secret("value " + std::to_string(i), "", errors[i]); });
    }
  }
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_EQ(errors[i], "");
    std::string error;
    EXPECT_EQ(unprotect_local_user_secret(texts[i], "", error), "value " + std::to_string(i));
    EXPECT_EQ(error, "");
  }
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(key_file_.parent_path()))
    ++files;
  EXPECT_EQ(files, 1u);  // the key alone, no temporary left behind
}

TEST_F(SecretsTest, EntropyMustMatch) {
  const std::string without = protect("token", "");
  const std::string with = protect("token", "label:node-1");
  std::string error;
  EXPECT_EQ(unprotect_local_user_secret(with, "label:node-1", error), "token");
  for (const auto& [text, entropy] : {std::pair{without, std::string("x")},
                                      {with, std::string("")},
                                      {with, std::string("label:node-2")}}) {
    error.clear();
    EXPECT_EQ(unprotect_local_user_secret(text, entropy, error), "");
    EXPECT_EQ(error, "CryptUnprotectData failed: 13");
  }
  // A damaged blob fails the same way.
  std::string damaged = with;
  damaged[20] = damaged[20] == 'A' ? 'B' : 'A';
  error.clear();
  EXPECT_EQ(unprotect_local_user_secret(damaged, "label:node-1", error), "");
  EXPECT_TRUE(error.starts_with("CryptUnprotectData failed: ")) << error;
}

TEST_F(SecretsTest, FormatsAndLineBreaks) {
  const std::string text = protect("abc", "");
  std::string broken = text;
  broken.insert(30, "\r\n");
  std::string error;
  EXPECT_EQ(unprotect_local_user_secret(broken, "", error), "abc");

  const std::string other_version = "dpapi-user-v2:" + text.substr(14);
  EXPECT_EQ(unprotect_local_user_secret(other_version, "", error), "");
  EXPECT_EQ(error, "protected secret is not a supported local-user secret format");
  EXPECT_EQ(unprotect_local_machine_secret(text, "", error), "");
  EXPECT_EQ(error, "protected secret is not a supported local-machine secret format");
  EXPECT_THROW(unprotect_local_user_secret("dpapi-user-v1:%%%", "", error), std::exception);
}

TEST_F(SecretsTest, UnprotectWithoutAKeyFailsAndCreatesNone) {
  std::string error;
  EXPECT_EQ(unprotect_local_user_secret("dpapi-user-v1:" + base64_encode(std::string(40, 'x')), "",
                                        error),
            "");
  EXPECT_TRUE(error.starts_with("CryptUnprotectData failed: ")) << error;
  EXPECT_FALSE(fs::exists(key_file_));
}

TEST_F(SecretsTest, MachineScopeReadsTheConfiguredKey) {
  // A machine blob is sealed like a user blob under the machine key; make one by pointing the
  // user key at the same bytes.
  const std::string text = protect("machine pass", "ent");
  const fs::path machine_key = env_.root() / "machine.key";
  fs::copy_file(key_file_, machine_key);
  env_.set("TESSIK_MACHINE_KEY_FILE", machine_key.string());
  const std::string machine_text = "dpapi-machine-v1:" + text.substr(14);
  std::string error;
  EXPECT_EQ(unprotect_local_machine_secret(machine_text, "ent", error), "machine pass");
  EXPECT_EQ(unprotect_local_machine_secret(machine_text, "other", error), "");
  EXPECT_EQ(error, "CryptUnprotectData(machine) failed: 13");
  env_.set("TESSIK_MACHINE_KEY_FILE", (env_.root() / "absent.key").string());
  EXPECT_EQ(unprotect_local_machine_secret(machine_text, "ent", error), "");
  EXPECT_TRUE(error.starts_with("CryptUnprotectData(machine) failed: ")) << error;
}

TEST_F(SecretsTest, NodePairingSecrets) {
  EXPECT_EQ(std::string(kNodePairingEntropyLabel).size(), 23u);
  EXPECT_EQ(std::string(kNodePairingEntropyLabel).back(), ':');
  EXPECT_EQ(node_pairing_entropy(" node-7 "), std::string(kNodePairingEntropyLabel) + "node-7");

  EXPECT_EQ(read_node_pairing_secret("plain-token", "n"), "plain-token");
  EXPECT_EQ(read_node_pairing_secret("dpapi-user-v9:abc", "n"), "dpapi-user-v9:abc");
  const std::string stored = protect("pair-secret", node_pairing_entropy("node-7"));
  EXPECT_EQ(read_node_pairing_secret(stored, "  node-7"), "pair-secret");
  try {
    read_node_pairing_secret(stored, "node-8");
    ADD_FAILURE() << "opened with another node's entropy";
  } catch (const RegistryError& e) {
    EXPECT_STREQ(e.what(),
                 "could not unprotect node pairing secret: CryptUnprotectData failed: 13");
  }
  EXPECT_THROW(read_node_pairing_secret("dpapi-user-v1:***", "node-7"), RegistryError);
}

TEST_F(SecretsTest, NodeRegistryLayouts) {
  const std::string secret = protect("tok", node_pairing_entropy("n1"));
  const fs::path path = env_.state_dir() / "registry" / "nodes.tsv";
  EXPECT_TRUE(read_node_registry(path).empty());
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      << "node_id\tx\tx\tx\tx\tx\tx\tx\tx\tx\tx\tx\tx\n"
      << "n1\tOne\ta|b\tssh\thttps://one\thost1\tuser1\t" << secret
      << "\t/id1\tyes\tpaired\t2026-01-01\t\n"
      << "\n"
      << "n2\tTwo\t\thttps\turl2\thost2\ttrue\tsrc2\terr2\n"
      << "n3\tThree\tc\tssh\turl3\thost3\tfalse\tsrc3\tseen3\terr3\n"
      << "n4\tshort\trow\n"
      << "n5\tFive\t\tssh\t\t\tu\tdpapi-user-v1:AAAA\t\ttrue\t\t\t\n";
  const std::vector<NodeRecord> nodes = read_node_registry(path);
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[0].node_id, "n1");
  EXPECT_EQ(nodes[0].aliases, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(nodes[0].ssh_user, "user1");
  EXPECT_EQ(nodes[0].pairing_secret, "tok");
  EXPECT_EQ(nodes[0].ssh_identity_file, "/id1");
  EXPECT_TRUE(nodes[0].enabled);
  EXPECT_EQ(nodes[0].source, "paired");
  EXPECT_EQ(nodes[0].last_seen_at, "2026-01-01");
  // Older layout, 9 fields: first and third trailing slot.
  EXPECT_TRUE(nodes[1].enabled);
  EXPECT_EQ(nodes[1].source, "src2");
  EXPECT_EQ(nodes[1].last_seen_at, "");
  EXPECT_EQ(nodes[1].last_error, "err2");
  // Older layout, 10 fields: all three.
  EXPECT_FALSE(nodes[2].enabled);
  EXPECT_EQ(nodes[2].source, "src3");
  EXPECT_EQ(nodes[2].last_seen_at, "seen3");
  EXPECT_EQ(nodes[2].last_error, "err3");
  // A secret that does not open keeps the row, with the reason.
  EXPECT_EQ(nodes[3].pairing_secret, "");
  EXPECT_TRUE(
      nodes[3].pairing_secret_error.starts_with("could not unprotect node pairing secret: "))
      << nodes[3].pairing_secret_error;

  fs::remove(path);
  fs::create_directories(path);
  try {
    read_node_registry(path);
    ADD_FAILURE() << "read a directory";
  } catch (const RegistryError& e) {
    EXPECT_EQ(std::string(e.what()), "could not read node registry: " + path.string());
  }
}

}  // namespace
}  // namespace tessik
