// The model under QCoreApplication, against the loopback fake broker and recording stand-ins
// for systemctl, pkexec, pkill, xdg-open and the host agent.
#include "manager/app_model.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "tests/manager/event_loop.h"
#include "tests/manager/fake_programs.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_broker.h"

namespace cvl {
namespace {

using test::FakeBroker;
using test::FakePrograms;
using test::processUntil;
using Answer = FakeBroker::Answer;
using Stage = AppModel::Stage;
using nlohmann::json;

const char* OTPAUTH = "otpauth://totp/Corvello:Desk?secret=JBSWY3DPEHPK3PXP&issuer=Corvello";

class AppModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    ::setenv("TMPDIR", temp.path().c_str(), 1);
    ::setenv("CVL_BROKER_URL", broker.url().c_str(), 1);
    ::setenv("CVL_RELAY_URL", "wss://relay.test", 1);
    ::setenv("CVL_WEBSITE_URL", broker.url().c_str(), 1);
    ::setenv("CVL_HOST_EXECUTABLE", fakes.makeHost().c_str(), 1);
    fakes.setOutput("cvlhost", R"({"accessibility":true,"screenRecording":true})");
    broker.on("/login", Answer::json(200, {{"token", "acct-token"}, {"accountId", "acc-1"}}));
    broker.on("/device/register",
              Answer::json(200, {{"deviceId", "dev-1"},
                                 {"deviceToken", "dev-token"},
                                 {"deviceAuth", {{"otpauth", OTPAUTH}}}}));
    broker.on("/device/verify-code", Answer::json(200, {{"ok", true}}));
  }

  // Tests may share a process: the next one's temporary folders must not land in this one's.
  void TearDown() override { ::unsetenv("TMPDIR"); }

  // A model whose first poll has come back.
  std::unique_ptr<AppModel> makeModel(AppModel::Options options = {}) {
    auto model = std::make_unique<AppModel>(options);
    EXPECT_TRUE(processUntil([&] { return !model->isRefreshing(); }));
    return model;
  }

  void waitForStage(AppModel& model, Stage stage) {
    ASSERT_TRUE(processUntil([&] { return model.stage() == stage; }))
        << "stage " << static_cast<int>(model.stage()) << " message "
        << model.workingMessage().toStdString() << " banner " << model.banner().toStdString();
  }

  void signIn(AppModel& model) {
    model.startSignIn();
    model.setEmail("me@example.org");
    model.setPassword("hunter2");
    model.submitSignIn();
  }

  // Drives the model to the QR screen.
  void reachQR(AppModel& model) {
    signIn(model);
    waitForStage(model, Stage::Naming);
    model.setComputerName("Desk");
    model.submitName();
    waitForStage(model, Stage::ShowQR);
  }

  std::string configFile() const { return home.file("Corvello/fabric.json"); }

  test::TempDir home;
  test::TempDir temp;
  FakePrograms fakes;
  FakeBroker broker;
};

TEST_F(AppModelTest, DashboardShowsNotRegisteredUntilTheFirstPollReturns) {
  std::filesystem::create_directories(home.file("Corvello"));
  home.write("Corvello/fabric.json", R"({"deviceToken": "t", "name": "Desk"})");
  fakes.setStatus("systemctl", 0);
  AppModel model;
  EXPECT_EQ(model.stage(), Stage::Dashboard);
  EXPECT_FALSE(model.registered());
  EXPECT_TRUE(model.isRefreshing());
  ASSERT_TRUE(processUntil([&] { return !model.isRefreshing(); }));
  EXPECT_TRUE(model.registered());
  EXPECT_EQ(model.deviceName(), "Desk");
  EXPECT_TRUE(model.hostInstalled());
  EXPECT_TRUE(model.hasScreenRecording());
  EXPECT_TRUE(model.hasAccessibility());
  EXPECT_TRUE(model.agentRunning());
  EXPECT_TRUE(model.fullyReady());
  EXPECT_FALSE(model.hasBanner());
  EXPECT_FALSE(model.computerName().isEmpty());  // the host name
}

TEST_F(AppModelTest, EnrolmentWithoutTwoFactorWrongCodeThenRightCode) {
  fakes.setStatus("systemctl", 3);
  auto model = makeModel();
  model->startSignIn();
  EXPECT_EQ(model->stage(), Stage::SignIn);
  model->setEmail("me@example.org");
  model->setPassword("hunter2");
  model->submitSignIn();
  EXPECT_EQ(model->stage(), Stage::Working);
  EXPECT_EQ(model->workingMessage(), "Signing in…");
  waitForStage(*model, Stage::Naming);
  EXPECT_EQ(model->password(), "");
  EXPECT_EQ(model->email(), "me@example.org");

  model->setComputerName("  Desk \n");
  model->submitName();
  EXPECT_EQ(model->workingMessage(), "Registering this computer…");
  waitForStage(*model, Stage::ShowQR);
  EXPECT_EQ(model->pendingOtpauth(), OTPAUTH);
  EXPECT_EQ(model->computerName(), "  Desk \n");
  auto registration = broker.requestsTo("/device/register");
  ASSERT_EQ(registration.size(), 1u);
  EXPECT_EQ(registration[0].json()["name"], "Desk");
  EXPECT_EQ(registration[0].header("authorization"), "Bearer acct-token");
  EXPECT_EQ(registration[0].target, "/device/register?account=acc-1");
  EXPECT_FALSE(std::filesystem::exists(configFile()));  // nothing written before the code

  broker.sequence("/device/verify-code", {Answer::json(200, {{"ok", false}}),
                                          Answer::json(200, {{"ok", true}})});
  model->setConfirmCode("111111");
  model->submitConfirm();
  EXPECT_EQ(model->workingMessage(), "Confirming…");
  waitForStage(*model, Stage::ShowQR);
  EXPECT_EQ(model->banner(), "That code didn't match. Make sure you scanned THIS computer's QR.");
  EXPECT_EQ(model->pendingOtpauth(), OTPAUTH);
  EXPECT_EQ(model->confirmCode(), "");
  EXPECT_FALSE(std::filesystem::exists(configFile()));

  model->setConfirmCode("222222");
  model->submitConfirm();
  waitForStage(*model, Stage::Dashboard);
  EXPECT_EQ(model->banner(), "This Mac is registered and online.");
  EXPECT_EQ(model->pendingOtpauth(), "");
  EXPECT_EQ(model->confirmCode(), "");
  auto verify = broker.requestsTo("/device/verify-code");
  ASSERT_EQ(verify.size(), 2u);
  EXPECT_EQ(verify[1].json(), (json{{"deviceId", "dev-1"}, {"code", "222222"}}));

  struct stat info;
  ASSERT_EQ(::stat(configFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  json written = json::parse(test::readFile(configFile()));
  EXPECT_EQ(written["deviceToken"], "dev-token");
  EXPECT_EQ(written["name"], "Desk");
  EXPECT_EQ(written["accountId"], "acc-1");
  auto restarts = fakes.callsTo("systemctl");
  EXPECT_NE(std::find(restarts.begin(), restarts.end(),
                      FakePrograms::Call{"systemctl", "--user", "restart", "corvello-host.service"}),
            restarts.end());
  ASSERT_TRUE(processUntil([&] { return model->registered(); }));
  EXPECT_EQ(model->deviceName(), "Desk");
}

TEST_F(AppModelTest, TwoFactorWrongCodeThenRightCodeKeepsTheHandle) {
  broker.on("/login", Answer::json(200, {{"need2fa", true}, {"pending", "handle-7"}}));
  broker.sequence("/login/totp", {Answer::json(401, {{"error", "nope"}}),
                                  Answer::json(200, {{"token", "acct-token"}, {"accountId", "a"}})});
  auto model = makeModel();
  signIn(*model);
  waitForStage(*model, Stage::TwoFactor);
  EXPECT_FALSE(model->hasBanner());

  model->setTwoFactorCode("12345");
  model->submitTwoFactor();
  EXPECT_EQ(model->banner(), "Enter the 6-digit code.");
  EXPECT_EQ(model->stage(), Stage::TwoFactor);

  model->setTwoFactorCode("123456");
  model->submitTwoFactor();
  EXPECT_EQ(model->workingMessage(), "Checking code…");
  waitForStage(*model, Stage::TwoFactor);
  EXPECT_EQ(model->banner(), "That code was not accepted.");
  EXPECT_EQ(model->twoFactorCode(), "");

  model->setTwoFactorCode("abcdefg");  // only the length is checked
  model->submitTwoFactor();
  waitForStage(*model, Stage::Naming);
  EXPECT_FALSE(model->hasBanner());
  EXPECT_EQ(model->password(), "");
  auto attempts = broker.requestsTo("/login/totp");
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_EQ(attempts[0].json()["pending"], "handle-7");
  EXPECT_EQ(attempts[1].json(),
            (json{{"email", "me@example.org"}, {"pending", "handle-7"}, {"code", "abcdefg"}}));
}

TEST_F(AppModelTest, ValidationBannersLeaveTheStage) {
  auto model = makeModel();
  model->startSignIn();
  model->setEmail("me@example.org");
  model->submitSignIn();  // no password
  EXPECT_EQ(model->banner(), "Enter your email and password.");
  EXPECT_EQ(model->stage(), Stage::SignIn);

  model->setEmail("   ");  // spaces are not empty: sent as typed
  model->setPassword("pw");
  model->submitSignIn();
  EXPECT_EQ(model->stage(), Stage::Working);
  waitForStage(*model, Stage::Naming);
  EXPECT_EQ(broker.requestsTo("/login")[0].json()["email"], "   ");

  model->setComputerName(" \n\t ");
  model->submitName();
  EXPECT_EQ(model->banner(), "Give this computer a name.");
  EXPECT_EQ(model->stage(), Stage::Naming);
  EXPECT_EQ(model->computerName(), " \n\t ");

  model->setComputerName("Desk");
  model->submitName();
  waitForStage(*model, Stage::ShowQR);
  model->setConfirmCode("12345");
  model->submitConfirm();
  EXPECT_EQ(model->banner(), "Enter the 6-digit code your authenticator shows.");
  EXPECT_EQ(model->stage(), Stage::ShowQR);
  EXPECT_EQ(broker.requestsTo("/device/verify-code").size(), 0u);
}

TEST_F(AppModelTest, ConfirmWithoutAPendingDeviceStartsAgain) {
  auto model = makeModel();
  model->setConfirmCode("123456");
  model->submitConfirm();
  EXPECT_EQ(model->banner(), "Something went wrong — start again.");
  EXPECT_EQ(model->stage(), Stage::Dashboard);
}

TEST_F(AppModelTest, BrokerErrorsAreShownUnchanged) {
  struct Case {
    const char* what;
    Answer login;
    Answer device;
    Stage stage;
    std::string banner;
  };
  const Case cases[] = {
      {"wrong password", Answer::noBody(401), Answer::noBody(500), Stage::SignIn,
       "Email or password not accepted."},
      {"locked", Answer::noBody(429), Answer::noBody(500), Stage::SignIn,
       "Account temporarily locked — too many attempts. Wait a bit."},
      {"nothing usable", Answer::json(200, {{"hello", 1}}), Answer::noBody(500), Stage::SignIn,
       "Unexpected sign-in response."},
      {"device refused", Answer::json(200, {{"token", "t"}}),
       Answer::json(409, {{"error", "This name is taken."}}), Stage::Naming,
       "This name is taken."},
      {"device failed", Answer::json(200, {{"token", "t"}}), Answer::noBody(500), Stage::Naming,
       "Could not register this computer."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    broker.on("/login", c.login);
    broker.on("/device/register", c.device);
    auto model = makeModel();
    signIn(*model);
    ASSERT_TRUE(processUntil([&] { return model->stage() != Stage::Working; }));
    if (model->stage() == Stage::Naming && c.stage == Stage::Naming) {
      model->submitName();
      ASSERT_TRUE(processUntil([&] { return model->stage() != Stage::Working; }));
    }
    EXPECT_EQ(model->stage(), c.stage);
    EXPECT_EQ(model->banner().toStdString(), c.banner);
  }
}

TEST_F(AppModelTest, CancelFromEveryFormKeepsOnlyWhatItShould) {
  broker.on("/login", Answer::json(200, {{"need2fa", true}, {"pending", "h"}}));
  broker.on("/login/totp", Answer::json(200, {{"token", "t"}, {"accountId", "a"}}));
  auto model = makeModel();
  auto cancel = [&](const char* where) {
    SCOPED_TRACE(where);
    model->setPassword("typed");
    model->setTwoFactorCode("12");
    model->setConfirmCode("34");
    model->cancelFlow();
    EXPECT_EQ(model->stage(), Stage::Dashboard);
    EXPECT_FALSE(model->hasBanner());
    EXPECT_EQ(model->password(), "");
    EXPECT_EQ(model->twoFactorCode(), "");
    EXPECT_EQ(model->confirmCode(), "");
    EXPECT_EQ(model->email(), "me@example.org");
  };

  model->startSignIn();
  model->setEmail("me@example.org");
  model->submitSignIn();  // a banner to clear
  ASSERT_TRUE(model->hasBanner());
  cancel("sign-in");

  signIn(*model);
  waitForStage(*model, Stage::TwoFactor);
  model->submitTwoFactor();
  ASSERT_TRUE(model->hasBanner());
  cancel("two-factor");

  signIn(*model);
  waitForStage(*model, Stage::TwoFactor);
  model->setTwoFactorCode("123456");
  model->submitTwoFactor();
  waitForStage(*model, Stage::Naming);
  model->setComputerName("Desk ");
  cancel("naming");
  EXPECT_EQ(model->computerName(), "Desk ");

  model->startSignIn();
  model->setPassword("pw");
  model->submitSignIn();
  waitForStage(*model, Stage::TwoFactor);
  model->setTwoFactorCode("123456");
  model->submitTwoFactor();
  waitForStage(*model, Stage::Naming);
  model->submitName();
  waitForStage(*model, Stage::ShowQR);
  cancel("QR");
  EXPECT_EQ(model->pendingOtpauth(), OTPAUTH);  // kept, but nothing was written
  EXPECT_FALSE(std::filesystem::exists(configFile()));
}

TEST_F(AppModelTest, ConfirmedCodeWithAnUnwritableFolder) {
  home.write("not-a-folder", "");
  ::setenv("XDG_CONFIG_HOME", home.file("not-a-folder").c_str(), 1);
  auto model = makeModel();
  reachQR(*model);
  model->setConfirmCode("123456");
  model->submitConfirm();
  waitForStage(*model, Stage::Dashboard);
  EXPECT_EQ(model->banner(),
            "Registered, but saving the config failed. Remove this device on the website and "
            "try again.");
  for (const auto& call : fakes.callsTo("systemctl")) EXPECT_NE(call[2], "restart");
}

TEST_F(AppModelTest, UpdateOutcomes) {
  const std::string path = "/download/corvello-host-linux-amd64.deb";
  auto model = makeModel();
  broker.on(path, Answer::raw(404, "gone"));
  model->update();
  EXPECT_EQ(model->stage(), Stage::Working);
  EXPECT_EQ(model->workingMessage(), "Downloading the latest version…");
  waitForStage(*model, Stage::Dashboard);
  EXPECT_EQ(model->banner(), "Update failed: download failed (HTTP 404)");

  broker.on(path, Answer::raw(200, "package"));
  model->update();
  waitForStage(*model, Stage::Dashboard);
  EXPECT_EQ(model->banner(), "The installer opened — follow its prompts to finish updating.");
  EXPECT_TRUE(fakes.waitForCalls("xdg-open", 1));
}

TEST_F(AppModelTest, UninstallOutcomes) {
  struct Case {
    int pkexecStatus;
    std::string banner;
  };
  const Case cases[] = {{0, "Removed. This Mac is unregistered and clean."},
                        {126, "Uninstall was cancelled or failed."}};
  auto model = makeModel();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pkexecStatus);
    fakes.setStatus("pkexec", c.pkexecStatus);
    model->setConfirmingUninstall(true);
    model->uninstall();
    EXPECT_EQ(model->workingMessage(), "Removing Corvello…");
    waitForStage(*model, Stage::Dashboard);
    EXPECT_EQ(model->banner().toStdString(), c.banner);
    EXPECT_FALSE(model->confirmingUninstall());
  }
  EXPECT_EQ(fakes.callsTo("pkexec").size(), 2u);
}

TEST_F(AppModelTest, RestartAgentRestartsThenPolls) {
  fakes.setStatus("systemctl", 3);
  auto model = makeModel();
  fakes.setStatus("systemctl", 0);
  EXPECT_FALSE(model->agentRunning());
  model->restartAgent();
  ASSERT_TRUE(processUntil([&] { return model->agentRunning(); }));
  auto calls = fakes.callsTo("systemctl");
  EXPECT_NE(std::find(calls.begin(), calls.end(),
                      FakePrograms::Call{"systemctl", "--user", "restart", "corvello-host.service"}),
            calls.end());
  EXPECT_EQ(model->stage(), Stage::Dashboard);
}

// A probe the test holds up until it lets go.
class HeldHost : public HostOperations {
 public:
  bool isRegistered() override {
    std::unique_lock lock(mutex_);
    ++calls_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_ || open_; });
    released_ = false;
    return true;
  }
  std::optional<std::string> registeredName() override { return "Desk"; }
  Grants hostGrants() override { return {true, true, true}; }
  bool agentLoaded() override { return true; }
  void startAgent() override {}
  bool uninstall(bool) override { return true; }
  void downloadAndRunInstaller(std::function<void(bool, std::string)> done) override {
    done(true, "");
  }

  int calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  // From now on no call is held.
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int calls_ = 0;
  bool released_ = false;
  bool open_ = false;
};

TEST_F(AppModelTest, SlowPollMakesTicksSkip) {
  auto host = std::make_shared<HeldHost>();
  auto model = std::make_unique<AppModel>(AppModel::Options{std::chrono::milliseconds(10), host});
  ASSERT_TRUE(processUntil([&] { return model->pollTicks() >= 10; }));
  EXPECT_EQ(host->calls(), 1);
  model->refresh();  // also dropped, not queued
  EXPECT_TRUE(model->isRefreshing());
  EXPECT_FALSE(model->registered());

  host->release();
  ASSERT_TRUE(processUntil([&] { return model->registered(); }));
  EXPECT_EQ(host->calls(), 1);
  ASSERT_TRUE(processUntil([&] { return host->calls() == 2; }));  // the next tick polls again
  model.reset();
  host->open();
}

TEST_F(AppModelTest, ModelDestroyedWhileTheBrokerAnswers) {
  broker.on("/login", Answer::json(200, {{"token", "t"}}).after(std::chrono::milliseconds(200)));
  auto model = makeModel();
  signIn(*model);
  ASSERT_TRUE(broker.waitForRequests(1, std::chrono::seconds(30)));
  model.reset();
  // A later answer whose completion is handed over after the first one's.
  broker.on("/login", Answer::json(200, {{"token", "t"}}).after(std::chrono::milliseconds(1500)));
  bool sentinel = false;
  RegistrationService::login("x", "y", [&sentinel](LoginResult) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&sentinel] { sentinel = true; },
                              Qt::QueuedConnection);
  });
  EXPECT_TRUE(processUntil([&] { return sentinel; }));
}

}  // namespace
}  // namespace cvl
