// The broker client against a real HTTP server on loopback.
#include "kit/broker/registration_service.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "kit/broker/service_urls.h"
#include "tests/broker/awaited.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_broker.h"

namespace cvl {
namespace {

using test::Awaited;
using test::FakeBroker;
using Answer = FakeBroker::Answer;
using nlohmann::json;

// A loopback port on which nothing listens.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

class RegistrationServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("CVL_BROKER_URL", broker.url().c_str(), 1);
    ::unsetenv("CVL_RELAY_URL");
  }
  void TearDown() override { ::unsetenv("CVL_BROKER_URL"); }

  LoginResult login(const std::string& email = "me@example.org") {
    Awaited<LoginResult> done;
    RegistrationService::login(email, "pw", done.callback());
    return done.get();
  }
  LoginResult loginTotp() {
    Awaited<LoginResult> done;
    RegistrationService::loginTotp("me@example.org", "handle-1", "123456", done.callback());
    return done.get();
  }
  DeviceResult registerDevice(const std::string& accountId = "acc") {
    Awaited<DeviceResult> done;
    RegistrationService::registerDevice("acct-token", accountId, "Desk", done.callback());
    return done.get();
  }
  bool verifyCode(const std::string& accountId = "acc") {
    Awaited<bool> done;
    RegistrationService::verifyCode("acct-token", accountId, "dev-1", "654321", done.callback());
    return done.get();
  }

  FakeBroker broker;
};

struct LoginCase {
  const char* what;
  Answer answer;
  std::optional<std::string> token;
  std::string accountId;
  std::string email;
  bool need2fa;
  std::optional<std::string> pending;
  std::optional<std::string> error;
};

TEST_F(RegistrationServiceTest, LoginAnswers) {
  const std::string sent = "me@example.org";
  const std::string locked = "Account temporarily locked — too many attempts. Wait a bit.";
  const std::string refused = "Email or password not accepted.";
  const std::string unexpected = "Unexpected sign-in response.";
  const LoginCase cases[] = {
      {"429 wins over a token", Answer::json(429, {{"token", "t"}}), {}, "", sent, false, {},
       locked},
      {"401 wins over a token", Answer::json(401, {{"token", "t"}}), {}, "", sent, false, {},
       refused},
      {"token with account and e-mail",
       Answer::json(200, {{"token", "t"}, {"accountId", "acc"}, {"email", "Me@Example.org"}}),
       "t", "acc", "Me@Example.org", false, {}, {}},
      {"token on a 500 still signs in", Answer::json(500, {{"token", "t"}}), "t", "", sent,
       false, {}, {}},
      {"non-string account and e-mail",
       Answer::json(200, {{"token", "t"}, {"accountId", 5}, {"email", nullptr}}), "t", "", sent,
       false, {}, {}},
      {"second factor", Answer::json(200, {{"need2fa", true}, {"pending", "p-1"}}), {}, "", sent,
       true, "p-1", {}},
      {"second factor without handle", Answer::json(200, {{"need2fa", true}}), {}, "", sent,
       false, {}, unexpected},
      {"need2fa as a string", Answer::json(200, {{"need2fa", "true"}, {"pending", "p"}}), {}, "",
       sent, false, {}, unexpected},
      {"token that is a number", Answer::json(200, {{"token", 7}}), {}, "", sent, false, {},
       unexpected},
      {"no body", Answer::noBody(200), {}, "", sent, false, {}, unexpected},
      {"not JSON", Answer::raw(200, "<html>"), {}, "", sent, false, {}, unexpected},
      {"JSON array", Answer::raw(200, R"([{"token":"t"}])"), {}, "", sent, false, {},
       unexpected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    broker.on("/login", c.answer);
    LoginResult r = login(sent);
    EXPECT_EQ(r.token, c.token);
    EXPECT_EQ(r.accountId, c.accountId);
    EXPECT_EQ(r.email, c.email);
    EXPECT_EQ(r.need2fa, c.need2fa);
    EXPECT_EQ(r.pending, c.pending);
    EXPECT_EQ(r.error, c.error);
  }
}

TEST_F(RegistrationServiceTest, LoginTotpAnswers) {
  struct Case {
    const char* what;
    Answer answer;
    bool signedIn;
    std::string accountId;
  } cases[] = {
      {"200 with token", Answer::json(200, {{"token", "t"}, {"accountId", "acc"}}), true, "acc"},
      {"e-mail in the answer is not used",
       Answer::json(200, {{"token", "t"}, {"email", "other@example.org"}}), true, ""},
      {"201 with token", Answer::json(201, {{"token", "t"}}), false, ""},
      {"200 without token", Answer::json(200, {{"ok", true}}), false, ""},
      {"500 without body", Answer::noBody(500), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    broker.on("/login/totp", c.answer);
    LoginResult r = loginTotp();
    EXPECT_EQ(r.email, "me@example.org");
    EXPECT_EQ(r.accountId, c.accountId);
    if (c.signedIn) {
      EXPECT_EQ(r.token, "t");
      EXPECT_FALSE(r.need2fa);
      EXPECT_EQ(r.pending, std::nullopt);
      EXPECT_EQ(r.error, std::nullopt);
    } else {
      EXPECT_EQ(r.token, std::nullopt);
      EXPECT_TRUE(r.need2fa);
      EXPECT_EQ(r.pending, "handle-1");  // kept, so another code can be tried
      EXPECT_EQ(r.error, "That code was not accepted.");
    }
  }
}

TEST_F(RegistrationServiceTest, RegisterDeviceAnswers) {
  const std::string generic = "Could not register this computer.";
  struct Case {
    const char* what;
    Answer answer;
    std::string deviceId, deviceToken, otpauth;
    std::optional<std::string> error;
  } cases[] = {
      {"complete",
       Answer::json(200, {{"deviceId", "dev-1"},
                          {"deviceToken", "dtok"},
                          {"deviceAuth", {{"otpauth", "otpauth://totp/x?secret=S"}}}}),
       "dev-1", "dtok", "otpauth://totp/x?secret=S", {}},
      {"token only", Answer::json(200, {{"deviceToken", "dtok"}, {"deviceAuth", "x"}}), "",
       "dtok", "", {}},
      {"broker's error text", Answer::json(409, {{"error", "That name is taken."}}), "", "", "",
       "That name is taken."},
      {"error that is not a string", Answer::json(409, {{"error", {{"code", 1}}}}), "", "", "",
       generic},
      {"500 without body", Answer::noBody(500), "", "", "", generic},
      {"token with a 201", Answer::json(201, {{"deviceId", "d"}, {"deviceToken", "t"}}), "", "",
       "", generic},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    broker.on("/device/register", c.answer);
    DeviceResult r = registerDevice();
    EXPECT_EQ(r.deviceId, c.deviceId);
    EXPECT_EQ(r.deviceToken, c.deviceToken);
    EXPECT_EQ(r.otpauth, c.otpauth);
    EXPECT_EQ(r.error, c.error);
  }
}

TEST_F(RegistrationServiceTest, VerifyCodeCountsOnlyBooleanTrue) {
  struct Case {
    const char* what;
    Answer answer;
    bool confirmed;
  } cases[] = {
      {"ok true", Answer::json(200, {{"ok", true}}), true},
      {"status is not consulted", Answer::json(500, {{"ok", true}}), true},
      {"ok as the string true", Answer::json(200, {{"ok", "true"}}), false},
      {"ok as a number", Answer::json(200, {{"ok", 1}}), false},
      {"ok false", Answer::json(200, {{"ok", false}}), false},
      {"no body", Answer::noBody(200), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    broker.on("/device/verify-code", c.answer);
    EXPECT_EQ(verifyCode(), c.confirmed);
  }
}

TEST_F(RegistrationServiceTest, RequestsCarryMethodHeadersAndBodies) {
  broker.on("/login", Answer::json(200, {{"token", "t"}}));
  broker.on("/login/totp", Answer::json(200, {{"token", "t"}}));
  broker.on("/device/register", Answer::json(200, {{"deviceToken", "d"}}));
  broker.on("/device/verify-code", Answer::json(200, {{"ok", true}}));
  login();
  loginTotp();
  registerDevice("a+b/c");
  verifyCode("a+b/c");

  auto requests = broker.requests();
  ASSERT_EQ(requests.size(), 4u);
  struct Expected {
    std::string target;
    std::string authorization;
    json body;
  } expected[] = {
      {"/login", "", {{"email", "me@example.org"}, {"password", "pw"}}},
      {"/login/totp", "", {{"email", "me@example.org"}, {"pending", "handle-1"}, {"code", "123456"}}},
      {"/device/register?account=a%2Bb%2Fc",
       "Bearer acct-token",
       {{"name", "Desk"}, {"platform", "macos"}, {"capabilities", {"screen", "input", "clipboard"}}}},
      {"/device/verify-code?account=a%2Bb%2Fc",
       "Bearer acct-token",
       {{"deviceId", "dev-1"}, {"code", "654321"}}},
  };
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(expected[i].target);
    EXPECT_EQ(requests[i].method, "POST");
    EXPECT_EQ(requests[i].target, expected[i].target);
    EXPECT_EQ(requests[i].header("content-type"), "application/json");
    EXPECT_EQ(requests[i].header("authorization"), expected[i].authorization);
    EXPECT_EQ(requests[i].json(), expected[i].body);
    // Compact JSON: no pretty printing.
    EXPECT_EQ(requests[i].body.find('\n'), std::string::npos);
  }
}

TEST_F(RegistrationServiceTest, AccountIdIsEncodedAsOneQueryValue) {
  broker.on("/device/register", Answer::json(200, {{"deviceToken", "d"}}));
  registerDevice("x&y=z?w é");
  ASSERT_EQ(broker.requests().size(), 1u);
  EXPECT_EQ(broker.requests()[0].target, "/device/register?account=x%26y%3Dz%3Fw%20%C3%A9");
}

TEST_F(RegistrationServiceTest, TrailingSlashOnTheBrokerUrlIsDropped) {
  ::setenv("CVL_BROKER_URL", (broker.url() + "/").c_str(), 1);
  broker.on("/login", Answer::json(200, {{"token", "t"}}));
  broker.on("/device/register", Answer::json(200, {{"deviceToken", "d"}}));
  EXPECT_EQ(login().token, "t");
  registerDevice("acc");
  auto requests = broker.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/login");
  EXPECT_EQ(requests[1].target, "/device/register?account=acc");
}

TEST_F(RegistrationServiceTest, UnreachableBrokerGivesTheConnectionResults) {
  ::setenv("CVL_BROKER_URL", ("http://127.0.0.1:" + std::to_string(closedPort())).c_str(), 1);
  EXPECT_EQ(login().error, "Could not reach the server. Check your connection.");
  LoginResult totp = loginTotp();
  EXPECT_EQ(totp.error, "That code was not accepted.");
  EXPECT_TRUE(totp.need2fa);
  EXPECT_EQ(registerDevice().error, "Could not register this computer.");
  EXPECT_FALSE(verifyCode());
}

TEST_F(RegistrationServiceTest, CompletionsRunOnTheClientThreadExceptForAnInvalidUrl) {
  broker.on("/login", Answer::json(200, {{"token", "t"}}));
  Awaited<LoginResult> remote;
  RegistrationService::login("a@b", "pw", remote.callback());
  EXPECT_EQ(remote.get().token, "t");
  EXPECT_NE(remote.thread(), std::this_thread::get_id());

  ::setenv("CVL_BROKER_URL", "not a url", 1);
  Awaited<LoginResult> local;
  RegistrationService::login("a@b", "pw", local.callback());
  ASSERT_TRUE(local.ready());  // already done when the call returns
  EXPECT_EQ(local.thread(), std::this_thread::get_id());
  EXPECT_EQ(local.get().error, "Could not reach the server. Check your connection.");
  EXPECT_EQ(broker.requests().size(), 1u);
}

TEST_F(RegistrationServiceTest, BrokerSlowerThanTheTimeoutCountsAsNoConnection) {
  broker.on("/login", Answer::json(200, {{"token", "t"}}).after(std::chrono::seconds(40)));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(login().error, "Could not reach the server. Check your connection.");
  // Gave up on its own timeout (25 s), not at once.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(24));
}

TEST_F(RegistrationServiceTest, UrlsComeFromTheEnvironmentWhenSetAndNotEmpty) {
  ::setenv("CVL_BROKER_URL", "", 1);
  ::setenv("CVL_RELAY_URL", "", 1);
  EXPECT_EQ(RegistrationService::brokerUrl(), StandardBrokerURL);
  EXPECT_EQ(RegistrationService::relayUrl(), StandardRelayURL);
  ::setenv("CVL_BROKER_URL", "https://b.test/", 1);
  ::setenv("CVL_RELAY_URL", "wss://r.test", 1);
  EXPECT_EQ(RegistrationService::brokerUrl(), "https://b.test/");
  EXPECT_EQ(RegistrationService::relayUrl(), "wss://r.test");
  ::unsetenv("CVL_RELAY_URL");
}

class WriteFabricTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("CVL_BROKER_URL", "https://broker.test/", 1);
    ::setenv("CVL_RELAY_URL", "wss://relay.test", 1);
  }
  void TearDown() override {
    ::unsetenv("CVL_BROKER_URL");
    ::unsetenv("CVL_RELAY_URL");
  }
  test::TempDir dir;
  DeviceResult device{"dev-1", "dtok", "otpauth://x", std::nullopt};
};

TEST_F(WriteFabricTest, WritesTheCredentialsWithTheNameOnlyWhenGiven) {
  json base = {{"deviceId", "dev-1"},
               {"deviceToken", "dtok"},
               {"relayUrl", "wss://relay.test"},
               {"brokerUrl", "https://broker.test/"},  // as configured, slash kept
               {"accountId", "acc"}};
  const std::string folder = dir.file("nested/Corvello");  // missing folders are created

  ASSERT_TRUE(RegistrationService::writeFabric(folder, device, "acc", ""));
  EXPECT_EQ(json::parse(test::readFile(folder + "/fabric.json")), base);

  ASSERT_TRUE(RegistrationService::writeFabric(folder, device, "acc", "Desk"));
  json named = base;
  named["name"] = "Desk";
  EXPECT_EQ(json::parse(test::readFile(folder + "/fabric.json")), named);
}

TEST_F(WriteFabricTest, ExistingFileEndsUpOwnerOnly) {
  dir.write("fabric.json", "{}");
  ::chmod(dir.file("fabric.json").c_str(), 0644);
  ASSERT_TRUE(RegistrationService::writeFabric(dir.path(), device, "acc", "Desk"));
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("fabric.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(WriteFabricTest, UnwritableFolderIsReported) {
  dir.write("file", "x");  // a regular file where a folder is needed
  EXPECT_FALSE(RegistrationService::writeFabric(dir.file("file/sub"), device, "acc", ""));
}

}  // namespace
}  // namespace cvl
