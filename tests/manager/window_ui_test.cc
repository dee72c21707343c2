// The real cvlmanager window on a private Xvfb, driven as a person would with xdotool, against
// the loopback fake broker and recording stand-ins for systemctl, pkexec and the host agent.
// Each screen is kept as a PNG under the build folder (manager-screens/) for people to look at.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QDir>
#include <QImage>

#include <filesystem>

#include "tests/manager/fake_programs.h"
#include "tests/manager/x11_screenshot.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_broker.h"
#include "tests/support/xvfb_server.h"

namespace cvl {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::FakeBroker;
using test::FakePrograms;
using Answer = FakeBroker::Answer;

const char* OTPAUTH =
    "otpauth://totp/Corvello:Desk?secret=JBSWY3DPEHPK3PXPJBSWY3DP&issuer=Corvello&digits=6";

std::string screenshotFolder() {
  std::string folder = std::string(CVL_BIN_DIR) + "/../manager-screens";
  std::filesystem::create_directories(folder);
  return folder;
}

// Runs xdotool with these arguments; its output without the trailing newline.
std::string xdotool(std::vector<std::string> args) {
  auto result = test::runChild("/usr/bin/xdotool", {.args = std::move(args)}, "", 60s);
  EXPECT_EQ(result.status, 0) << result.err;
  std::string out = result.out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The text of the QR code zbarimg finds in `image`, empty when none.
std::string decodeQR(const QImage& image) {
  test::TempDir dir;
  image.save(QString::fromStdString(dir.file("shot.png")));
  auto result = test::runChild("/usr/bin/zbarimg",
                               {.args = {"--raw", "-q", "-Sbinary", dir.file("shot.png")}});
  std::string text = result.out;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

class ManagerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb.exportDisplay();
    fakes.setOutput("cvlhost", R"({"accessibility":true,"screenRecording":true})");
    fakes.setStatus("systemctl", 3);
    broker.on("/login", Answer::json(200, {{"need2fa", true}, {"pending", "handle-1"}}));
    broker.on("/login/totp",
              Answer::json(200, {{"token", "acct-token"}, {"accountId", "acc-1"}}));
    broker.on("/device/register", Answer::json(200, {{"deviceId", "dev-1"},
                                                     {"deviceToken", "dev-token"},
                                                     {"deviceAuth", {{"otpauth", OTPAUTH}}}}));
    std::filesystem::create_directories(home.file("runtime"));
    ::chmod(home.file("runtime").c_str(), 0700);
    options.setEnv = {
        {"QT_QPA_PLATFORM", "xcb"},
        {"QT_QUICK_BACKEND", "software"},
        {"CVL_VERBOSE", "1"},
        {"XDG_CONFIG_HOME", home.file("config")},
        {"XDG_RUNTIME_DIR", home.file("runtime")},
        {"CVL_BROKER_URL", broker.url()},
        {"CVL_RELAY_URL", "wss://relay.test"},
        {"CVL_WEBSITE_URL", "https://corvello.example"},
        {"CVL_HOST_EXECUTABLE", fakes.makeHost()},
    };
  }

  std::unique_ptr<ChildProcess> startManager(std::vector<std::string> args = {}) {
    auto o = options;
    o.args = std::move(args);
    return std::make_unique<ChildProcess>(test::builtProgram("cvlmanager"), o);
  }

  // Waits until the window says it shows `screen`, later than the last screen waited for, then
  // keeps a screenshot. States the window passes through quickly may be skipped in its log, so
  // a test waits only for states that last.
  void waitForScreen(ChildProcess& manager, const std::string& screen, const std::string& shot) {
    std::string line = "[manager] showing " + screen + "\n";
    auto deadline = std::chrono::steady_clock::now() + 60s;
    size_t at = std::string::npos;
    while ((at = manager.err().find(line, consumed_)) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(at, std::string::npos) << "never showed " << screen << "; stderr:\n"
                                     << manager.err();
    consumed_ = at + line.size();
    if (!shot.empty()) {
      QImage image = test::grabWindow(window);
      ASSERT_FALSE(image.isNull());
      image.save(QString::fromStdString(screenshotFolder() + "/" + shot + ".png"));
    }
  }

  unsigned long findWindow() {
    std::string id = xdotool({"search", "--sync", "--onlyvisible", "--name", "^Corvello$"});
    return std::stoul(id.substr(0, id.find('\n')));
  }

  void focus() {
    xdotool({"windowfocus", "--sync", std::to_string(window)});
    xdotool({"mousemove", "--window", std::to_string(window), "230", "30"});
  }
  void type(const std::string& text) { xdotool({"type", "--delay", "25", text}); }
  void key(const std::string& name) { xdotool({"key", "--delay", "25", name}); }

  test::XvfbServer xvfb;
  test::TempDir home;
  FakePrograms fakes;
  FakeBroker broker;
  test::ChildOptions options;
  unsigned long window = 0;
  size_t consumed_ = 0;
};

TEST_F(ManagerWindowTest, EnrolmentTypedWithTabAndReturnThenUninstall) {
  std::filesystem::remove_all(screenshotFolder());  // this run's screens only
  auto manager = startManager();
  window = findWindow();
  EXPECT_EQ(test::windowSize(window), QSize(460, 560));
  // Until the first poll comes back, the host reads as missing.
  waitForScreen(*manager, "dashboard", "1-dashboard");
  focus();

  key("Tab");    // "Sign in & register this computer"
  key("space");
  waitForScreen(*manager, "signIn", "2-sign-in");
  type("me@example.org");
  key("Return");  // nothing in the e-mail field
  key("Tab");
  type("hunter2");
  key("Return");
  waitForScreen(*manager, "twoFactor", "3-two-factor");
  type("12345");  // one digit short
  key("Return");
  waitForScreen(*manager, "twoFactor (banner)", "3-two-factor-too-short");
  type("6");
  key("Return");
  waitForScreen(*manager, "naming", "4-naming");
  EXPECT_EQ(broker.requestsTo("/login/totp").at(0).json()["code"], "123456");
  auto login = broker.requestsTo("/login");
  ASSERT_EQ(login.size(), 1u);
  EXPECT_EQ(login[0].json(), (nlohmann::json{{"email", "me@example.org"}, {"password", "hunter2"}}));

  key("ctrl+a");
  type("Desk");
  key("Return");
  waitForScreen(*manager, "showQR", "5-qr");
  EXPECT_EQ(broker.requestsTo("/device/register").at(0).json()["name"], "Desk");
  EXPECT_EQ(decodeQR(test::grabWindow(window)), OTPAUTH);

  broker.sequence("/device/verify-code",
                  {Answer::json(200, {{"ok", false}}), Answer::json(200, {{"ok", true}})});
  type("111111");
  key("Return");
  waitForScreen(*manager, "showQR (banner)", "6-qr-wrong-code");
  EXPECT_EQ(decodeQR(test::grabWindow(window)), OTPAUTH);
  EXPECT_FALSE(std::filesystem::exists(home.file("config/Corvello/fabric.json")));

  type("222222");
  key("Return");
  waitForScreen(*manager, "dashboard registered (banner)", "7-registered");
  struct stat info;
  ASSERT_EQ(::stat(home.file("config/Corvello/fabric.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  auto systemctl = fakes.callsTo("systemctl");
  EXPECT_NE(std::find(systemctl.begin(), systemctl.end(),
                      FakePrograms::Call{"systemctl", "--user", "restart", "corvello-host.service"}),
            systemctl.end());

  // The "Uninstall Corvello" menu entry while the window is open: the same window asks.
  auto second = startManager({"--uninstall"});
  EXPECT_EQ(second->wait(60s), 0);
  waitForScreen(*manager, "uninstall-dialog", "8-uninstall-dialog");
  focus();
  key("Tab");  // from "Cancel" to "Uninstall & wipe this Mac"
  key("space");
  waitForScreen(*manager, "dashboard (banner)", "9-uninstalled");
  EXPECT_EQ(fakes.callsTo("pkexec").size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(home.file("config/Corvello")));
}

TEST_F(ManagerWindowTest, SecondStartBringsTheFirstWindowForwardAndExits) {
  auto manager = startManager();
  window = findWindow();
  waitForScreen(*manager, "dashboard", "");
  test::CoveringWindow other;  // another program's window on top
  ASSERT_TRUE(test::isAbove(other.id(), window));
  auto second = startManager();
  EXPECT_EQ(second->wait(60s), 0);
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!test::isAbove(window, other.id()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(test::isAbove(window, other.id()));
  EXPECT_TRUE(manager->running());
  EXPECT_EQ(xdotool({"search", "--onlyvisible", "--name", "^Corvello$"}),
            std::to_string(window));  // still one window
}

}  // namespace
}  // namespace cvl
