// `cvlhost register` as a child process against the loopback fake broker.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "kit/broker/service_urls.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_broker.h"

namespace cvl {
namespace {

using namespace std::chrono_literals;
using test::ChildOptions;
using test::ChildResult;
using test::FakeBroker;
using Answer = FakeBroker::Answer;
using nlohmann::json;

const std::string RULE = "  " + std::string(64, '=') + "\n";
const std::string OTPAUTH = "otpauth://totp/Corvello:Desk?secret=ABC&issuer=Corvello";

std::string websiteHost() {
  std::string site = WebsiteURL;
  return site.substr(site.find("://") + 3);
}

std::string qrBlock(const std::string& otpauth) {
  return "\n" + RULE + "   SET UP THIS COMPUTER'S AUTHENTICATOR\n" +
         "   A page with a QR code is opening in your browser. Scan it with an\n" +
         "   authenticator app (Google Authenticator, Authy, 1Password…).\n" +
         "   If it doesn't open, go to " + websiteHost() + "/qr.html and paste:\n" + "     " +
         otpauth + "\n" + RULE;
}

const std::string CONFIRM_INTRO =
    "\n   Now confirm it worked: type the 6-digit code your authenticator app\n"
    "   shows for this computer (or press Return to skip).\n";
const std::string NOT_CONFIRMED =
    "  [!] Authenticator not confirmed. You can still finish, but if you can't\n"
    "      connect later, re-run register and scan the QR into your app.\n";
const std::string SIGN_IN_FAILED =
    "  [!] Could not sign in. Re-run `cvlhost register` to try again.\n";

std::string registeredBlock(const std::string& path, const std::string& name) {
  return "  [ok] Saved this computer's cloud config to " + path + "\n\n" + RULE +
         "   This computer (" + name + ") is registered.\n" + "   Sign in at " + WebsiteURL +
         ", pick " + name + ", and enter its\n" + "   authenticator code to connect.\n" + RULE;
}

class RegisterTest : public ::testing::Test {
 protected:
  RegisterTest() {
    options.args = {"register"};
    options.setEnv = {{"HOME", home.path()},
                      {"XDG_CONFIG_HOME", home.path()},
                      {"CVL_BROKER_URL", broker.url()},
                      {"CVL_RELAY_URL", "wss://relay.test"},
                      {"CVL_QR_NO_OPEN", "1"}};
    options.unsetEnv = {"CVL_EMAIL", "CVL_PASSWORD", "CVL_DEVICE_NAME", "FABRIC_CONFIG"};
    broker.on("/login",
              Answer::json(200, {{"token", "acct-tok"}, {"accountId", "acc-1"}, {"email", EMAIL}}));
    broker.on("/device/register", Answer::json(200, {{"deviceId", "dev-1"},
                                                     {"deviceToken", "dtok-1"},
                                                     {"deviceAuth", {{"otpauth", OTPAUTH}}}}));
    broker.on("/device/verify-code", Answer::json(200, {{"ok", false}}));
  }

  void unattended() {
    options.setEnv["CVL_EMAIL"] = EMAIL;
    options.setEnv["CVL_PASSWORD"] = PASSWORD;
    options.setEnv["CVL_DEVICE_NAME"] = "Desk";
  }

  ChildResult run(const std::string& input) {
    return test::runChild(test::builtProgram("cvlhost"), options, input, 60s);
  }

  std::string configDir() const { return home.path() + "/Corvello"; }
  std::string fabricPath() const { return configDir() + "/fabric.json"; }

  static constexpr const char* EMAIL = "me@example.org";
  static constexpr const char* PASSWORD = "s3cret-pass";
  test::TempDir home;
  FakeBroker broker;
  ChildOptions options;
};

TEST_F(RegisterTest, UnattendedEnrolmentSkippingTheConfirmation) {
  // A file without a token is not an enrolment: it is replaced, and tightened to 0600.
  ::mkdir(configDir().c_str(), 0755);
  home.write("Corvello/fabric.json",
             R"({"deviceId":"old","deviceToken":"","relayUrl":"wss://old"})");
  ::chmod(fabricPath().c_str(), 0644);
  unattended();

  ChildResult r = run("\n");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "  Signing in…\n"
                   "  [ok] Signed in as me@example.org\n"
                   "  Registering 'Desk' with the broker…\n"
                   "  [ok] Registered. This computer's id is dev-1.\n" +
                       qrBlock(OTPAUTH) + CONFIRM_INTRO + "   Code: " + NOT_CONFIRMED +
                       registeredBlock(fabricPath(), "Desk"));
  EXPECT_EQ(r.out.find(PASSWORD), std::string::npos);
  EXPECT_EQ(r.err.find(PASSWORD), std::string::npos);

  EXPECT_EQ(json::parse(test::readFile(fabricPath())),
            json({{"deviceId", "dev-1"},
                  {"deviceToken", "dtok-1"},
                  {"relayUrl", "wss://relay.test"},
                  {"brokerUrl", broker.url()},
                  {"accountId", "acc-1"}}));
  struct stat st {};
  ASSERT_EQ(::stat(fabricPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto requests = broker.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/login");
  EXPECT_EQ(requests[0].json(), json({{"email", EMAIL}, {"password", PASSWORD}}));
  EXPECT_EQ(requests[0].header("authorization"), "");
  EXPECT_EQ(requests[1].target, "/device/register?account=acc-1");
  EXPECT_EQ(requests[1].header("authorization"), "Bearer acct-tok");
  EXPECT_EQ(requests[1].json(), json({{"name", "Desk"},
                                      {"platform", "macos"},
                                      {"capabilities", {"screen", "input", "clipboard"}}}));

  // Run again: already enrolled, nothing is asked or sent.
  ChildResult again = run("");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out,
            "  [ok] This computer is already registered (fabric.json present) — leaving it as "
            "is.\n");
  EXPECT_EQ(broker.requests().size(), 2u);
}

TEST_F(RegisterTest, ConfirmationRetriesUntilACodeMatches) {
  unattended();
  options.setEnv["CVL_BROKER_URL"] = broker.url() + "/";  // same requests, slash kept in the file
  broker.on("/login", Answer::json(200, {{"token", "acct-tok"}, {"accountId", "a+b/c"}}));
  broker.sequence("/device/verify-code",
                  {Answer::json(200, {{"ok", "true"}}), Answer::json(200, {{"ok", true}})});

  ChildResult r = run("111111\n 222222 \n");
  EXPECT_EQ(r.status, 0) << r.out;
  // Without an e-mail in the answer the address used to sign in is shown.
  EXPECT_NE(r.out.find("  [ok] Signed in as me@example.org\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(CONFIRM_INTRO + "   Code: " +
                       "   [!] That code didn't match. Make sure you scanned THIS computer's QR, "
                       "then try again.\n" +
                       "   Code: " + "   [ok] Confirmed - your authenticator is set up "
                                     "correctly.\n" +
                       registeredBlock(fabricPath(), "Desk")),
            std::string::npos)
      << r.out;

  auto verify = broker.requestsTo("/device/verify-code");
  ASSERT_EQ(verify.size(), 2u);
  // Registration encodes the account id as one query value, confirmation leaves it plain.
  EXPECT_EQ(broker.requestsTo("/device/register")[0].target, "/device/register?account=a%2Bb%2Fc");
  EXPECT_EQ(verify[1].target, "/device/verify-code?account=a+b/c");
  EXPECT_EQ(verify[1].header("authorization"), "Bearer acct-tok");
  EXPECT_EQ(verify[1].json(), json({{"deviceId", "dev-1"}, {"code", "222222"}}));
  EXPECT_EQ(json::parse(test::readFile(fabricPath()))["brokerUrl"], broker.url() + "/");
}

TEST_F(RegisterTest, SixMismatchesEndTheConfirmation) {
  unattended();
  ChildResult r = run("1\n2\n3\n4\n5\n6\n7\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(broker.requestsTo("/device/verify-code").size(), 6u);
  EXPECT_NE(r.out.find(NOT_CONFIRMED), std::string::npos);
}

TEST_F(RegisterTest, FailedSignIns) {
  const std::string refused = "  [!] Email or password not accepted.\n";
  struct Case {
    const char* what;
    bool emailFromEnvironment;
    Answer answer;
    std::string input;
    size_t requests;
    std::string out;
  } cases[] = {
      {"three refused passwords", false, Answer::noBody(401), "a@b\na@b\na@b\n", 3,
       "  Email: " + std::string("  Signing in…\n") + refused + "  Email: " +
           "  Signing in…\n" + refused + "  Email: " + "  Signing in…\n" + refused +
           SIGN_IN_FAILED},
      {"locked account stops at once", false, Answer::noBody(429), "a@b\na@b\na@b\n", 1,
       "  Email: " + std::string("  Signing in…\n") +
           "  [!] Account temporarily locked (too many attempts).\n" + SIGN_IN_FAILED},
      {"e-mail from the environment: one attempt", true, Answer::noBody(401), "", 1,
       "  Signing in…\n" + refused + SIGN_IN_FAILED},
      {"unexpected answer", true, Answer::raw(200, "[]"), "", 1,
       "  Signing in…\n  [!] Unexpected sign-in response.\n" + SIGN_IN_FAILED},
      {"no e-mail given", false, Answer::noBody(401), "", 0,
       "  Email:   [!] Email and password are required.\n"
       "  Email:   [!] Email and password are required.\n"
       "  Email:   [!] Email and password are required.\n" +
           SIGN_IN_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBroker own;
    own.on("/login", c.answer);
    options.setEnv["CVL_BROKER_URL"] = own.url();
    options.setEnv["CVL_PASSWORD"] = PASSWORD;
    if (c.emailFromEnvironment) {
      options.setEnv["CVL_EMAIL"] = EMAIL;
    } else {
      options.setEnv.erase("CVL_EMAIL");
    }
    ChildResult r = run(c.input);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(own.requests().size(), c.requests);
    EXPECT_FALSE(std::ifstream(fabricPath()).good());
  }
}

TEST_F(RegisterTest, AccountWithAuthenticatorCode) {
  unattended();
  broker.on("/login", Answer::json(200, {{"need2fa", true}, {"pending", "p-1"}}));
  broker.sequence("/login/totp", {Answer::json(201, {{"token", "wrong-status"}}),
                                  Answer::json(200, {{"token", "t2"}, {"accountId", "acc-2"},
                                                     {"email", "other@example.org"}})});
  const std::string prompt = "  6-digit code from your account's authenticator: ";
  ChildResult r = run("000000\n123456\n\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.substr(0, r.out.find("  Registering")),
            "  Signing in…\n" + prompt + "  [!] That code was not accepted.\n" + prompt +
                "  [ok] Signed in as me@example.org\n");
  auto totp = broker.requestsTo("/login/totp");
  ASSERT_EQ(totp.size(), 2u);
  EXPECT_EQ(totp[1].json(), json({{"email", EMAIL}, {"pending", "p-1"}, {"code", "123456"}}));
  EXPECT_EQ(broker.requestsTo("/device/register")[0].header("authorization"), "Bearer t2");
  EXPECT_EQ(json::parse(test::readFile(fabricPath()))["accountId"], "acc-2");

  // Three wrong codes end the sign-in.
  broker.on("/login/totp", Answer::noBody(401));
  ::unlink(fabricPath().c_str());
  ChildResult failed = run("1\n2\n3\n");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(broker.requestsTo("/login/totp").size(), 5u);
  EXPECT_NE(failed.out.find("  [!] That code was not accepted.\n" + SIGN_IN_FAILED),
            std::string::npos);
}

TEST_F(RegisterTest, RefusedRegistrationShowsTheBrokersText) {
  unattended();
  const std::string tail =
      "  Registering 'Desk' with the broker…\n"
      "  [!] Could not register this computer. Re-run `cvlhost register` to try again.\n";
  broker.on("/device/register", Answer::noBody(500));
  ChildResult plain = run("");
  EXPECT_EQ(plain.status, 1);
  EXPECT_NE(plain.out.find("Signed in as me@example.org\n" + tail), std::string::npos);

  // The text is shown without the control characters that would drive the terminal.
  broker.on("/device/register", Answer::json(409, {{"error", "Name \x1b[2Jin use\r."}}));
  ChildResult r = run("");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("  Registering 'Desk' with the broker…\n  [!] Name [2Jin use.\n" +
                       tail.substr(tail.find("  [!]"))),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(std::ifstream(fabricPath()).good());
}

TEST_F(RegisterTest, UnwritableConfigFolderLosesTheToken) {
  unattended();
  home.write("not-a-folder", "");
  options.setEnv["XDG_CONFIG_HOME"] = home.file("not-a-folder");
  ChildResult r = run("\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.substr(r.out.find(NOT_CONFIRMED) + NOT_CONFIRMED.size()),
            "  [!] Registered, but writing fabric.json failed. The token is issued ONCE and\n"
            "      cannot be recovered — remove this device in the app and re-register.\n");
}

TEST_F(RegisterTest, QrPageOpensWithTheUriInTheFragment) {
  unattended();
  options.setEnv.erase("CVL_QR_NO_OPEN");
  // A stand-in for the desktop's opener that records its argument. The record appears whole
  // (written aside, then renamed), so that the test never reads it half written.
  ::mkdir(home.file("bin").c_str(), 0755);
  home.write("bin/xdg-open",
             "#!/bin/sh\nd=\"$(dirname \"$0\")\"\n"
             "printf '%s' \"$1\" > \"$d/opened.part\" && mv \"$d/opened.part\" \"$d/opened\"\n");
  ::chmod(home.file("bin/xdg-open").c_str(), 0755);
  options.setEnv["PATH"] = home.file("bin") + ":" + std::getenv("PATH");

  auto opened = [&] {
    for (int i = 0; i < 100 && !std::ifstream(home.file("bin/opened")).good(); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    std::string page = test::readFile(home.file("bin/opened"));
    ::unlink(home.file("bin/opened").c_str());
    return page;
  };

  ASSERT_EQ(run("\n").status, 0);
  EXPECT_EQ(opened(), std::string(WebsiteURL) +
                          "/qr.html#otpauth%3A%2F%2Ftotp%2FCorvello%3ADesk%3Fsecret%3DABC%26"
                          "issuer%3DCorvello");

  // Without an otpauth URI the block is still shown and the fragment is empty.
  broker.on("/device/register", Answer::json(200, {{"deviceId", "d"}, {"deviceToken", "t"}}));
  ::unlink(fabricPath().c_str());
  ChildResult r = run("\n");
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(qrBlock("")), std::string::npos) << r.out;
  EXPECT_EQ(opened(), std::string(WebsiteURL) + "/qr.html#");

  // CVL_WEBSITE_URL names another site: the page, the hint and the closing lines follow it.
  options.setEnv["CVL_WEBSITE_URL"] = "https://own.example.org";
  ::unlink(fabricPath().c_str());
  r = run("\n");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(opened(), "https://own.example.org/qr.html#");
  EXPECT_NE(r.out.find("go to own.example.org/qr.html and paste:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("   Sign in at https://own.example.org, pick Desk,"), std::string::npos)
      << r.out;
}

TEST_F(RegisterTest, PasswordIsReadFromTheTerminalWithoutEcho) {
  options.usePseudoTerminal = true;
  const std::string password = "hunter2-typed";
  char host[HOST_NAME_MAX + 1] = {};
  ::gethostname(host, sizeof host - 1);

  test::ChildProcess child(test::builtProgram("cvlhost"), options);
  ASSERT_TRUE(child.waitForOut("  Email: ", 20s)) << child.out();
  child.writeInput(std::string(EMAIL) + "\n");
  ASSERT_TRUE(child.waitForOut("Password: ", 20s)) << child.out();
  child.writeInput(password + "\n");
  // The name prompt offers the host name; an empty answer takes it.
  ASSERT_TRUE(child.waitForOut("  A name for this computer [" + std::string(host) + "]: ", 20s))
      << child.out();
  child.writeInput("\n");
  ASSERT_TRUE(child.waitForOut("   Code: ", 20s)) << child.out();
  child.writeInput("\n");
  EXPECT_EQ(child.wait(20s), 0);
  child.waitForOutputEnd(5s);

  EXPECT_EQ(child.out().find(password), std::string::npos) << child.out();
  EXPECT_EQ(child.err().find(password), std::string::npos);
  EXPECT_EQ(child.out().find("  Password: "), std::string::npos);  // not the fallback prompt
  auto login = broker.requestsTo("/login");
  ASSERT_EQ(login.size(), 1u);
  EXPECT_EQ(login[0].json(), json({{"email", EMAIL}, {"password", password}}));
  EXPECT_EQ(broker.requestsTo("/device/register")[0].json()["name"], host);
}

}  // namespace
}  // namespace cvl
