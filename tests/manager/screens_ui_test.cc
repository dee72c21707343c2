// The screens on the offscreen platform: for each stage and each dashboard case, which texts
// show, which buttons exist and which are enabled, found through their objectNames. The model
// is real; the host is a stand-in that answers at once, the broker the loopback fake. Each
// screen is also kept as a PNG under the build folder (manager-screens/screens-*.png), the
// progress screen and the dashboard cases among them, for people to look at.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "manager/app_model.h"
#include "manager/host_control_bridge.h"
#include "manager/manager_window.h"
#include "tests/manager/event_loop.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_broker.h"

namespace cvl {
namespace {

using test::FakeBroker;
using test::processUntil;
using Answer = FakeBroker::Answer;
using Stage = AppModel::Stage;

struct HostState {
  bool registered = false;
  std::optional<std::string> name;
  Grants grants;
  bool agent = false;
};

class StandInHost : public HostOperations {
 public:
  explicit StandInHost(HostState state) : state_(std::move(state)) {}
  bool isRegistered() override { return state_.registered; }
  std::optional<std::string> registeredName() override { return state_.name; }
  Grants hostGrants() override { return state_.grants; }
  bool agentLoaded() override { return state_.agent; }
  void startAgent() override {}
  bool uninstall(bool) override {
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return !holdUninstall_; });
    return true;
  }
  void releaseUninstall() {
    std::lock_guard lock(mutex_);
    holdUninstall_ = false;
    released_.notify_all();
  }
  void downloadAndRunInstaller(std::function<void(bool, std::string)> done) override {
    done(false, "download failed (HTTP 404)");
  }

 private:
  HostState state_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool holdUninstall_ = true;  // the uninstall waits until the test lets it finish
};

void typeText(QWindow* window, const std::string& text) {
  for (char c : text) QTest::keyClick(window, c);
}

QObject* findNamed(QObject* root, const QString& name) {
  if (root->objectName() == name) return root;
  for (QObject* child : root->children()) {
    if (QObject* found = findNamed(child, name)) return found;
  }
  if (auto* item = qobject_cast<QQuickItem*>(root)) {
    for (QQuickItem* child : item->childItems()) {
      if (QObject* found = findNamed(child, name)) return found;
    }
  }
  return nullptr;
}

class ScreensTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("CVL_BROKER_URL", broker.url().c_str(), 1);
    ::setenv("CVL_WEBSITE_URL", "https://corvello.example", 1);
    ::setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
  }

  void open(HostState state) {
    engine.reset();  // the old window goes before the model it shows
    if (host) host->releaseUninstall();
    host = std::make_shared<StandInHost>(state);
    model = std::make_unique<AppModel>(AppModel::Options{std::chrono::milliseconds(4000), host});
    engine = loadManagerWindow(*model, bridge);
    ASSERT_TRUE(engine);
    window = managerWindow(*engine);
    ASSERT_TRUE(window);
    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    ASSERT_TRUE(processUntil([&] { return !model->isRefreshing(); }));
    settle();
  }

  void settle() { QCoreApplication::processEvents(); }

  // Looks in the screen showing now first: the one it replaced may not be deleted yet.
  QObject* named(const char* name) {
    settle();
    if (QObject* loader = findNamed(window, "screen")) {
      if (auto* current = loader->property("item").value<QObject*>()) {
        if (QObject* found = findNamed(current, name)) return found;
      }
    }
    return findNamed(window, name);
  }
  QQuickItem* item(const char* name) { return qobject_cast<QQuickItem*>(named(name)); }
  bool shows(const char* name) {
    QQuickItem* found = item(name);
    return found && found->isVisible();
  }
  std::string text(const char* name) {
    QObject* found = named(name);
    return found ? found->property("text").toString().toStdString() : "<missing " + std::string(name) + ">";
  }
  bool enabled(const char* name) {
    QQuickItem* found = item(name);
    return found && found->isVisible() && found->isEnabled();
  }
  // Saves what the window shows now as manager-screens/screens-<name>.png.
  void keep(const std::string& name) {
    settle();
    std::string folder = std::string(CVL_BIN_DIR) + "/../manager-screens";
    std::filesystem::create_directories(folder);
    EXPECT_TRUE(
        window->grabWindow().save(QString::fromStdString(folder + "/screens-" + name + ".png")))
        << name;
  }
  void waitForStage(Stage stage) {
    ASSERT_TRUE(processUntil([&] { return model->stage() == stage; }));
    settle();
  }

  void TearDown() override {
    engine.reset();
    if (host) host->releaseUninstall();
  }

  test::TempDir home;
  FakeBroker broker;
  HostControlBridge bridge;
  std::shared_ptr<StandInHost> host;
  std::unique_ptr<AppModel> model;
  std::unique_ptr<QQmlApplicationEngine> engine;
  QQuickWindow* window = nullptr;
};

TEST_F(ScreensTest, WindowIsFixedAt460By560WithTheHeader) {
  open({});
  EXPECT_EQ(window->width(), 460);
  EXPECT_EQ(window->height(), 560);
  EXPECT_EQ(window->minimumSize(), QSize(460, 560));
  EXPECT_EQ(window->maximumSize(), QSize(460, 560));
  EXPECT_EQ(text("headerTitle"), "Corvello");
  EXPECT_TRUE(shows("headerIcon"));
}

TEST_F(ScreensTest, HostMissing) {
  open({});
  EXPECT_EQ(text("statusText"), "Not registered");
  EXPECT_TRUE(shows("hostMissingNote"));
  EXPECT_EQ(text("hostMissingNote"),
            "The background host isn't installed. Reinstall Corvello from corvello.example.");
  EXPECT_TRUE(shows("notLinkedText"));
  EXPECT_EQ(text("notLinkedText"), "This Mac isn't linked to an account yet.");
  EXPECT_TRUE(enabled("signInButton"));
  EXPECT_EQ(text("signInButton"), "Sign in & register this computer");
  EXPECT_TRUE(shows("reregisterButton"));
  EXPECT_FALSE(enabled("reregisterButton"));
  EXPECT_FALSE(enabled("updateButton"));
  EXPECT_TRUE(enabled("uninstallButton"));
  EXPECT_FALSE(shows("agentRow"));
  EXPECT_FALSE(shows("dashboardBanner"));
  EXPECT_EQ(text("versionText"), "Version " CVL_PROJECT_VERSION);
  keep("dashboard-host-missing");
}

TEST_F(ScreensTest, DashboardCases) {
  struct Case {
    const char* what;
    HostState state;
    QColor dot;
    std::string status;
    std::string computer;
    bool agentButton, screenButton, accessibilityButton, note;
  };
  const Case cases[] = {
      {"fully-ready",
       {true, "Desk", {true, true, true}, true},
       QColor("#1fa347"),
       "Online & ready to control",
       "Desk",
       false,
       false,
       false,
       false},
      {"only-screen-recording",
       {true, "Desk", {false, true, true}, true},
       QColor("#f08c00"),
       "Registered — needs setup below",
       "Desk",
       false,
       false,
       true,
       true},
      {"no-name-agent-stopped-nothing-granted",
       {true, std::nullopt, {false, false, true}, false},
       QColor("#f08c00"),
       "Registered — needs setup below",
       "registered",
       true,
       true,
       true,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    open(c.state);
    EXPECT_EQ(item("statusDot")->property("color").value<QColor>(), c.dot);
    EXPECT_EQ(text("statusText"), c.status);
    EXPECT_FALSE(shows("hostMissingNote"));
    EXPECT_FALSE(shows("signInButton"));
    EXPECT_EQ(text("thisComputerLabel"), "This computer");
    EXPECT_EQ(text("thisComputerValue"), c.computer);
    EXPECT_EQ(text("agentRowLabel"), "Agent");
    EXPECT_EQ(text("screenRowLabel"), "Screen Recording");
    EXPECT_EQ(text("accessibilityRowLabel"), "Accessibility (control)");
    EXPECT_EQ(shows("agentRowButton"), c.agentButton);
    EXPECT_EQ(shows("screenRowButton"), c.screenButton);
    EXPECT_EQ(shows("accessibilityRowButton"), c.accessibilityButton);
    EXPECT_EQ(shows("agentRowCheck"), !c.agentButton);
    EXPECT_EQ(shows("agentRowWarning"), c.agentButton);
    if (c.agentButton) {
      EXPECT_EQ(text("agentRowButton"), "Start");
    }
    if (c.accessibilityButton) {
      EXPECT_EQ(text("accessibilityRowButton"), "Grant");
    }
    EXPECT_EQ(text("screenRowState"), c.screenButton ? "not granted" : "granted");
    EXPECT_EQ(text("agentRowState"), c.agentButton ? "stopped" : "running");
    EXPECT_EQ(shows("permissionsNote"), c.note);
    EXPECT_EQ(text("permissionsNote"),
              "After turning a switch on in System Settings, come back — this updates on its own.");
    EXPECT_TRUE(enabled("reregisterButton"));
    EXPECT_TRUE(enabled("updateButton"));
    EXPECT_TRUE(enabled("uninstallButton"));
    keep(std::string("dashboard-") + c.what);
  }
}

TEST_F(ScreensTest, VersionWithoutOneIsAQuestionMark) {
  EXPECT_EQ(versionOrUnknown(""), "?");
  EXPECT_EQ(versionOrUnknown("1.2.3"), "1.2.3");
  EXPECT_EQ(withoutScheme("https://corvello.example"), "corvello.example");
}

TEST_F(ScreensTest, BannerOnTheDashboard) {
  open({true, "Desk", {true, true, true}, true});
  model->update();  // the stand-in fails at once
  waitForStage(Stage::Dashboard);
  EXPECT_TRUE(shows("dashboardBanner"));
  EXPECT_EQ(text("dashboardBannerText"), "Update failed: download failed (HTTP 404)");
}

TEST_F(ScreensTest, SignInFormAndReturnInItsFields) {
  open({});
  model->startSignIn();
  waitForStage(Stage::SignIn);
  EXPECT_EQ(text("formTitle"), "Sign in");
  EXPECT_EQ(text("formSubtitle"), "Use the same email and password as corvello.example.");
  EXPECT_FALSE(shows("formBanner"));
  ASSERT_TRUE(processUntil([&] { return item("emailField")->hasActiveFocus(); }));
  EXPECT_EQ(item("emailField")->property("placeholderText").toString(), "Email");
  EXPECT_EQ(item("passwordField")->property("placeholderText").toString(), "Password");
  EXPECT_EQ(item("passwordField")->property("echoMode").toInt(), 2);  // TextInput.Password
  EXPECT_EQ(text("backButton"), "Back");
  EXPECT_EQ(text("continueButton"), "Continue");

  typeText(window, "me@example.org");
  QTest::keyClick(window, Qt::Key_Return);  // in the e-mail field: nothing
  settle();
  EXPECT_EQ(model->stage(), Stage::SignIn);
  EXPECT_FALSE(model->hasBanner());
  EXPECT_EQ(model->email(), "me@example.org");

  QTest::keyClick(window, Qt::Key_Tab);
  ASSERT_TRUE(processUntil([&] { return item("passwordField")->hasActiveFocus(); }));
  model->setEmail("");
  QTest::keyClick(window, Qt::Key_Return);  // in the password field: submits
  settle();
  EXPECT_TRUE(shows("formBanner"));
  EXPECT_EQ(text("formBannerText"), "Enter your email and password.");
  EXPECT_EQ(text("emailField"), "");
}

TEST_F(ScreensTest, TwoFactorNamingAndQRForms) {
  broker.on("/login", Answer::json(200, {{"need2fa", true}, {"pending", "h"}}));
  broker.on("/login/totp", Answer::json(200, {{"token", "t"}, {"accountId", "a"}}));
  broker.on("/device/register",
            Answer::json(200, {{"deviceId", "d"},
                               {"deviceToken", "x"},
                               {"deviceAuth", {{"otpauth", "otpauth://totp/C:D?secret=ABC"}}}}));
  open({});
  model->startSignIn();
  model->setEmail("me@example.org");
  model->setPassword("pw");
  model->submitSignIn();

  waitForStage(Stage::TwoFactor);
  EXPECT_EQ(text("formTitle"), "Two-factor code");
  EXPECT_EQ(text("formSubtitle"), "Enter the 6-digit code from your account's authenticator.");
  EXPECT_EQ(item("twoFactorField")->property("placeholderText").toString(), "000000");
  ASSERT_TRUE(processUntil([&] { return item("twoFactorField")->hasActiveFocus(); }));
  typeText(window, "123456");
  QTest::keyClick(window, Qt::Key_Return);

  waitForStage(Stage::Naming);
  EXPECT_EQ(text("formTitle"), "Name this computer");
  EXPECT_EQ(text("formSubtitle"), "You'll pick it by this name when you connect.");
  EXPECT_EQ(item("nameField")->property("placeholderText").toString(), "Computer name");
  EXPECT_EQ(text("registerButton"), "Register");
  EXPECT_EQ(text("nameField"), model->computerName().toStdString());

  model->submitName();
  waitForStage(Stage::ShowQR);
  EXPECT_EQ(text("qrTitle"), "Set up this computer's code");
  EXPECT_EQ(text("qrSubtitle"), "Scan this with Google Authenticator (or any authenticator app).");
  EXPECT_EQ(text("qrPrompt"), "Then type the 6-digit code it shows to confirm:");
  EXPECT_TRUE(shows("qrCode"));
  EXPECT_FALSE(shows("qrFallback"));
  EXPECT_EQ(item("qrCode")->width(), 200);
  EXPECT_EQ(item("confirmField")->width(), 140);
  EXPECT_EQ(text("cancelButton"), "Cancel");
  EXPECT_EQ(text("confirmButton"), "Confirm & finish");
  ASSERT_TRUE(processUntil([&] { return item("confirmField")->hasActiveFocus(); }));
  typeText(window, "123");
  QTest::keyClick(window, Qt::Key_Return);
  settle();
  EXPECT_EQ(text("formBannerText"), "Enter the 6-digit code your authenticator shows.");
}

TEST_F(ScreensTest, WorkingScreenHasOnlyTheSpinnerAndItsMessage) {
  open({true, "Desk", {true, true, true}, true});
  model->uninstall();  // held by the stand-in until released
  settle();
  EXPECT_EQ(model->stage(), Stage::Working);
  EXPECT_EQ(text("workingMessage"), "Removing Corvello…");
  EXPECT_TRUE(shows("spinner"));
  for (const char* button : {"uninstallButton", "reregisterButton", "updateButton", "backButton"}) {
    EXPECT_FALSE(shows(button)) << button;
  }
  keep("working");
  host->releaseUninstall();
  waitForStage(Stage::Dashboard);
  EXPECT_EQ(text("dashboardBannerText"), "Removed. This Mac is unregistered and clean.");
}

TEST_F(ScreensTest, QRThatCannotBeMadeShowsTheFallback) {
  std::string huge = "otpauth://totp/C:D?secret=" + std::string(4000, 'A');
  broker.on("/login", Answer::json(200, {{"token", "t"}}));
  broker.on("/device/register", Answer::json(200, {{"deviceId", "d"},
                                                   {"deviceToken", "x"},
                                                   {"deviceAuth", {{"otpauth", huge}}}}));
  open({});
  model->setEmail("e");
  model->setPassword("p");
  model->submitSignIn();
  waitForStage(Stage::Naming);
  model->submitName();
  waitForStage(Stage::ShowQR);
  EXPECT_FALSE(shows("qrCode"));
  EXPECT_TRUE(shows("qrFallback"));
  EXPECT_EQ(text("qrFallback"), "Couldn't render the QR — use the setup key below.");
  keep("qr-fallback");
}

TEST_F(ScreensTest, UninstallDialogFollowsTheModel) {
  open({true, "Desk", {true, true, true}, true});
  EXPECT_FALSE(shows("uninstallTitle"));
  QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier,
                    item("uninstallButton")->mapToScene(QPointF(10, 10)).toPoint());
  ASSERT_TRUE(processUntil([&] { return model->confirmingUninstall(); }));
  ASSERT_TRUE(processUntil([&] { return shows("uninstallTitle"); }));
  EXPECT_EQ(text("uninstallTitle"), "Remove Corvello from this Mac?");
  EXPECT_EQ(text("uninstallMessage"),
            "Stops the host, unlinks this computer, and clears its permissions so a future "
            "install starts fresh. You'll be asked for your Mac password once.");
  EXPECT_EQ(text("uninstallConfirmButton"), "Uninstall & wipe this Mac");
  EXPECT_EQ(text("uninstallCancelButton"), "Cancel");
  keep("uninstall-dialog");
  QTest::keyClick(window, Qt::Key_Escape);  // dismissed
  ASSERT_TRUE(processUntil([&] { return !model->confirmingUninstall(); }));
  EXPECT_EQ(model->stage(), Stage::Dashboard);
}

}  // namespace
}  // namespace cvl
