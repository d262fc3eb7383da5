#include "core/trust/host_identity.h"

#include <gtest/gtest.h>

#include <asio/ssl.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/protocol/utf8.h"
#include "core/util/process.h"
#include "support/fake_secure_store.h"
#include "support/test_tls.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPasswordMissing =
    "This host's identity password is missing from the Keychain. Restore the original Keychain before "
    "reconnecting your paired devices.";
constexpr const char* kOpenssl = "/usr/bin/openssl";

std::string readText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

fs::perms modeOf(const fs::path& path) {
  return fs::status(path).permissions() & fs::perms::mask;
}

bool isLowercaseHex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

class HostIdentityTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(testing::TempDir()) / ("quorvanta-host-identity-" + makeUuidText());
    fs::create_directories(root_);
    data_ = root_ / "nested" / "Quorvanta";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  HostIdentity create(bool allowInteraction = false, const std::string& openssl = kOpenssl) {
    return HostIdentity::create(data_, store_, allowInteraction, openssl);
  }
  // The message of the error that create() throws, or "" when it succeeds.
  std::string createError(bool allowInteraction = false, const std::string& openssl = kOpenssl) {
    try {
      create(allowInteraction, openssl);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "";
  }

  // A stand-in for openssl: a shell script in the test's directory.
  std::string script(const std::string& name, const std::string& body) {
    const fs::path path = root_ / name;
    writeText(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }

  std::set<std::string> dataEntries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(data_))
      names.insert(entry.path().filename().string());
    return names;
  }
  std::string hostIDFile() const { return readText(data_ / "host-id"); }
  std::optional<std::string> password(const std::string& hostID) const {
    return store_.text("identity-password-" + hostID);
  }

  fs::path root_;
  fs::path data_;
  test::FakeSecureStore store_;
};

TEST_F(HostIdentityTest, FirstStartMakesTheIdentityAndTheSecondLoadsIt) {
  const auto identity = create();
  const std::string& hostID = identity.hostID();

  EXPECT_EQ(hostIDFile(), hostID);
  EXPECT_TRUE(isUuidText(hostID));
  EXPECT_EQ(hostID.find_first_of("abcdef"), std::string::npos) << "not upper case";
  EXPECT_EQ(dataEntries(), (std::set<std::string>{"host-id", "host-identity.p12"}));
  EXPECT_EQ(modeOf(data_), fs::perms::owner_all);
  EXPECT_EQ(modeOf(data_.parent_path()), fs::perms::owner_all);
  EXPECT_EQ(modeOf(data_ / "host-identity.p12"), fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(password(hostID));
  EXPECT_EQ(password(hostID)->size(), 43u);
  EXPECT_EQ(store_.writes, 1);

  EXPECT_EQ(identity.certificateHash().size(), 64u);
  EXPECT_TRUE(isLowercaseHex(identity.certificateHash()));
  EXPECT_EQ(identity.certificateHash(), certificateSha256Hex(identity.tls().certificate.get()));

  const auto again = create();
  EXPECT_EQ(again.hostID(), hostID);
  EXPECT_EQ(again.certificateHash(), identity.certificateHash());
  EXPECT_EQ(store_.writes, 1);
}

TEST_F(HostIdentityTest, ServerWithTheIdentityAcceptsAClientPinningItsHash) {
  const auto identity = create();
  auto serverTls = identity.makeServerContext();
  auto clientTls = makeClientTlsContext(identity.certificateHash());
  asio::io_context io;
  auto sockets = test::makeLoopbackSockets(io);
  asio::ssl::stream<asio::ip::tcp::socket> server(std::move(sockets.server), *serverTls);
  asio::ssl::stream<asio::ip::tcp::socket> client(std::move(sockets.client), *clientTls);

  auto serverSide = std::async(std::launch::async, [&] {
    std::error_code error;
    server.handshake(asio::ssl::stream_base::server, error);
    return error;
  });
  std::error_code clientError;
  client.handshake(asio::ssl::stream_base::client, clientError);
  EXPECT_FALSE(clientError) << clientError.message();
  EXPECT_FALSE(serverSide.get());
}

TEST_F(HostIdentityTest, OnlyAnExactUuidInTheHostIDFileIsKept) {
  const std::string failing = script("failing-openssl", "exit 1\n");
  const std::string uuid = "0F8D1C2E-3B4A-4C5D-8E6F-7A8B9C0D1E2F";
  const std::vector<std::string> rejected = {
      uuid + "\n", " " + uuid, "0F8D1C2E3B4A4C5D8E6F7A8B9C0D1E2F", "0F8D1C2E-3B4A-4C5D-8E6F-7A8B9C0D1E2G",
      "",          "\xFF\xFE"};
  for (const auto& text : rejected) {
    SCOPED_TRACE(testing::PrintToString(text));
    fs::create_directories(data_);
    writeText(data_ / "host-id", text);
    EXPECT_EQ(createError(false, failing), "Unable to create a TLS identity: ");
    const std::string replaced = hostIDFile();
    EXPECT_TRUE(isUuidText(replaced)) << replaced;
    EXPECT_EQ(replaced.find_first_of("abcdef"), std::string::npos);
    EXPECT_NE(replaced, uuid);
    EXPECT_TRUE(password(replaced));
  }

  // Lower case is a UUID too, and stays as it is, in the file and in the password account.
  const std::string lowerCase = "0f8d1c2e-3b4a-4c5d-8e6f-7a8b9c0d1e2f";
  writeText(data_ / "host-id", lowerCase);
  EXPECT_EQ(createError(false, failing), "Unable to create a TLS identity: ");
  EXPECT_EQ(hostIDFile(), lowerCase);
  EXPECT_TRUE(password(lowerCase));
}

TEST_F(HostIdentityTest, MissingOrUnreadablePasswordBlocksLoadingWhileTheIdentityFileExists) {
  const auto first = create();
  const std::string& hostID = first.hostID();
  const std::string p12 = readText(data_ / "host-identity.p12");

  store_ = test::FakeSecureStore{};
  EXPECT_EQ(createError(), kPasswordMissing);
  store_.put("identity-password-" + hostID, "\xC3\x28 not UTF-8");
  EXPECT_EQ(createError(), kPasswordMissing);
  EXPECT_EQ(store_.writes, 0);
  EXPECT_EQ(readText(data_ / "host-identity.p12"), p12);
  EXPECT_EQ(hostIDFile(), hostID);

  fs::remove(data_ / "host-identity.p12");
  const auto second = create();
  EXPECT_EQ(second.hostID(), hostID);
  EXPECT_NE(second.certificateHash(), first.certificateHash());
  ASSERT_TRUE(password(hostID));
  EXPECT_TRUE(isValidUtf8(*password(hostID)));
  EXPECT_EQ(password(hostID)->size(), 43u);
}

TEST_F(HostIdentityTest, LosingOnlyTheIdentityFileKeepsHostIDAndPassword) {
  const auto first = create();
  const auto storedPassword = password(first.hostID());
  fs::remove(data_ / "host-identity.p12");

  const auto second = create();
  EXPECT_EQ(second.hostID(), first.hostID());
  EXPECT_EQ(password(second.hostID()), storedPassword);
  EXPECT_EQ(store_.writes, 1);
  EXPECT_NE(second.certificateHash(), first.certificateHash());
}

TEST_F(HostIdentityTest, OpensslFailuresLeaveNoIdentityOrWorkingDirectory) {
  EXPECT_EQ(createError(false, script("boom", "printf 'boom\\n'\nexit 1\n")),
            "Unable to create a TLS identity: boom\n");
  EXPECT_EQ(dataEntries(), std::set<std::string>{"host-id"});
  const std::string hostID = hostIDFile();
  const auto storedPassword = password(hostID);
  ASSERT_TRUE(storedPassword);

  // Standard error is part of the output; output that is not UTF-8 is not repeated.
  EXPECT_EQ(createError(false, script("binary", "printf 'x\\377\\n' >&2\nexit 2\n")),
            "Unable to create a TLS identity: unknown error");
  // A tool that fails the second run only.
  EXPECT_EQ(createError(false, script("second",
                                      "[ \"$1\" = pkcs12 ] && { echo 'bad password'; exit 1; }\n"
                                      "exec /usr/bin/openssl \"$@\"\n")),
            "Unable to create a TLS identity: bad password\n");
  // One that claims success without making the key: the permission change fails.
  try {
    create(false, script("silent", "exit 0\n"));
    ADD_FAILURE() << "create succeeded";
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
  }
  // A tool that cannot be started at all.
  const std::string missing = (root_ / "no-such-openssl").string();
  const std::string launchError = createError(false, missing);
  EXPECT_NE(launchError.find(missing), std::string::npos) << launchError;
  EXPECT_NE(launchError.find("No such file or directory"), std::string::npos) << launchError;
  EXPECT_EQ(dataEntries(), std::set<std::string>{"host-id"});

  // The password made before the first failure is the one the next attempt uses.
  const auto identity = create();
  EXPECT_EQ(identity.hostID(), hostID);
  EXPECT_EQ(password(hostID), storedPassword);
  EXPECT_EQ(store_.writes, 1);
}

TEST_F(HostIdentityTest, OpensslGetsExactlyTheDescribedRunsAndInput) {
  const fs::path log = root_ / "calls.log";
  const std::string wrapper = script(
      "recording-openssl", "log='" + log.string() +
                               "'\n"
                               "echo \"call $#\" >> \"$log\"\n"
                               "for argument in \"$@\"; do printf '%s\\n' \"$argument\" >> \"$log\"; done\n"
                               "if [ \"$1\" = pkcs12 ]; then\n"
                               "  stat -c 'key %a' \"$4\" >> \"$log\"\n"
                               "  stat -c 'work %a' \"$(dirname \"$4\")\" >> \"$log\"\n"
                               "fi\n"
                               "cat > \"$log.$1.in\"\n"
                               "exec /usr/bin/openssl \"$@\" < \"$log.$1.in\"\n");
  const auto identity = create(false, wrapper);

  std::vector<std::string> lines;
  std::istringstream text(readText(log));
  for (std::string line; std::getline(text, line);)
    lines.push_back(line);
  ASSERT_EQ(lines.size(), 1u + 19u + 1u + 10u + 2u);
  ASSERT_GE(lines[7].size(), 8u);
  const fs::path work = fs::path(lines[7]).parent_path();
  EXPECT_EQ(work.parent_path(), data_);
  EXPECT_TRUE(isUuidText(work.filename().string()));
  const std::string key = (work / "key.pem").string();
  const std::string certificate = (work / "cert.pem").string();
  const std::vector<std::string> expected = {"call 19",
                                             "req",
                                             "-x509",
                                             "-newkey",
                                             "rsa:2048",
                                             "-nodes",
                                             "-keyout",
                                             key,
                                             "-out",
                                             certificate,
                                             "-days",
                                             "3650",
                                             "-subj",
                                             "/CN=Quorvanta-" + identity.hostID(),
                                             "-addext",
                                             "basicConstraints=critical,CA:FALSE",
                                             "-addext",
                                             "keyUsage=critical,digitalSignature,keyEncipherment",
                                             "-addext",
                                             "extendedKeyUsage=serverAuth",
                                             "call 10",
                                             "pkcs12",
                                             "-export",
                                             "-inkey",
                                             key,
                                             "-in",
                                             certificate,
                                             "-out",
                                             (work / "identity.p12").string(),
                                             "-passout",
                                             "stdin",
                                             "key 600",
                                             "work 700"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(readText(root_ / "calls.log.req.in"), "");
  EXPECT_EQ(readText(root_ / "calls.log.pkcs12.in"), *password(identity.hostID()) + "\n");
  EXPECT_FALSE(fs::exists(work));
}

TEST_F(HostIdentityTest, StoreFailuresAndInteractionReachTheCaller) {
  const std::string failing = script("failing-openssl", "exit 1\n");
  store_.lockedStatus = -25308;
  EXPECT_EQ(createError(false, failing), storageError(-25308).message());
  // With interaction allowed the read goes through; creation then stops at the tool.
  EXPECT_EQ(createError(true, failing), "Unable to create a TLS identity: ");
  EXPECT_EQ(store_.lastReadAllowedInteraction, true);

  store_ = test::FakeSecureStore{};
  store_.writeFailure = -61;
  EXPECT_EQ(createError(false, failing), storageError(-61).message());
  EXPECT_EQ(dataEntries(), std::set<std::string>{"host-id"});
}

TEST_F(HostIdentityTest, IdentityFilesThatDoNotLoadReportAStatus) {
  const auto identity = create();
  const fs::path p12 = data_ / "host-identity.p12";
  const std::string good = readText(p12);
  const std::string account = "identity-password-" + identity.hostID();
  const std::string goodPassword = *store_.text(account);

  writeText(p12, "not a PKCS#12 file");
  const std::string damaged = createError();
  EXPECT_EQ(damaged.rfind("Could not load the host TLS identity (", 0), 0u) << damaged;
  EXPECT_EQ(damaged.substr(damaged.size() - 2), ").");
  EXPECT_EQ(damaged.find("(0)"), std::string::npos);

  writeText(p12, good);
  store_.put(account, "another-password-entirely-but-still-UTF-8");
  EXPECT_EQ(createError(), "Could not load the host TLS identity (113).");

  // A container with the certificate but no key holds no identity.
  store_.put(account, goodPassword);
  const fs::path certificate = root_ / "cert.pem";
  ASSERT_EQ(runProcess(kOpenssl, {"pkcs12", "-in", p12.string(), "-nokeys", "-passin", "pass:" + goodPassword,
                                  "-out", certificate.string()})
                .exitStatus,
            0);
  ASSERT_EQ(runProcess(kOpenssl, {"pkcs12", "-export", "-nokeys", "-in", certificate.string(), "-out",
                                  p12.string(), "-passout", "pass:" + goodPassword})
                .exitStatus,
            0);
  EXPECT_EQ(createError(), "Could not load the host TLS identity (0).");
}

}  // namespace
}  // namespace quorvanta
