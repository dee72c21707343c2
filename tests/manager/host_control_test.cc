// Host control against recording stand-ins for systemctl, pkexec, pkill, xdg-open and the
// host agent, and the installer download against a loopback HTTP server.
#include "manager/host_control.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>

#include "kit/fabric/fabric_config.h"
#include "tests/broker/awaited.h"
#include "tests/manager/fake_programs.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_broker.h"

namespace cvl {
namespace {

using test::FakePrograms;
using Call = FakePrograms::Call;

class HostControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    ::setenv("TMPDIR", temp.path().c_str(), 1);
    ::unsetenv("CVL_HOST_EXECUTABLE");
    ::unsetenv("CVL_WEBSITE_URL");
  }

  // Tests may share a process: the next one's temporary folders must not land in this one's.
  void TearDown() override { ::unsetenv("TMPDIR"); }

  void useHost() { ::setenv("CVL_HOST_EXECUTABLE", fakes.makeHost().c_str(), 1); }
  void useMissingHost() { ::setenv("CVL_HOST_EXECUTABLE", home.file("no-such-host").c_str(), 1); }

  void writeConfig(const std::string& text) {
    std::filesystem::create_directories(home.file("Corvello"));
    home.write("Corvello/fabric.json", text);
  }

  test::TempDir home;
  test::TempDir temp;
  FakePrograms fakes;
};

// No child of this process is left, running or unreaped.
void expectNoChildren() {
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(HostControlTest, ConfigFileGivesRegistrationAndName) {
  struct Case {
    const char* what;
    std::optional<std::string> file;  // absent: no file at all
    bool registered;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {"no file", std::nullopt, false, std::nullopt},
      {"not JSON", "{deviceToken: x", false, std::nullopt},
      {"an array", R"(["deviceToken"])", false, std::nullopt},
      {"empty token", R"({"deviceToken": "", "name": "Desk"})", false, "Desk"},
      {"token is a number", R"({"deviceToken": 7, "deviceId": "d-1"})", false, "d-1"},
      {"token", R"({"deviceToken": "t", "name": "Desk", "deviceId": "d-1"})", true, "Desk"},
      {"empty name falls to the id", R"({"deviceToken": "t", "name": "", "deviceId": "d-1"})",
       true, "d-1"},
      {"name not a string", R"({"deviceToken": "t", "name": 5, "deviceId": "d-1"})", true, "d-1"},
      {"neither name nor id", R"({"deviceToken": "t", "deviceId": ""})", true, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(home.file("Corvello"));
    if (c.file) writeConfig(*c.file);
    EXPECT_EQ(HostControl::isRegistered(), c.registered);
    EXPECT_EQ(HostControl::registeredName(), c.name);
  }
}

TEST_F(HostControlTest, GrantsComeFromCheckJson) {
  useHost();
  struct Case {
    const char* what;
    std::string output;
    Grants grants;
  };
  const Case cases[] = {
      {"both", R"({"accessibility":true,"screenRecording":true})", {true, true, true}},
      {"only accessibility", R"({"accessibility": true})", {true, false, true}},
      {"members not booleans", R"({"accessibility": 1, "screenRecording": "yes"})",
       {false, false, true}},
      {"not JSON", "permission report\n", {false, false, true}},
      {"not an object", "[true, true]", {false, false, true}},
      {"nothing", "", {false, false, true}},
      {"not UTF-8", "{\"accessibility\": true, \"x\": \"\xff\"}", {false, false, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fakes.setOutput("cvlhost", c.output);
    EXPECT_EQ(HostControl::hostGrants(), c.grants);
  }
  for (const auto& call : fakes.callsTo("cvlhost")) EXPECT_EQ(call, (Call{"cvlhost", "check-json"}));
  expectNoChildren();
}

TEST_F(HostControlTest, MissingHostStartsNothingAndPanesStillOpen) {
  useMissingHost();
  EXPECT_EQ(HostControl::hostGrants(), (Grants{false, false, false}));
  HostControl::openScreenRecordingPane();
  HostControl::openAccessibilityPane();
  EXPECT_EQ(fakes.calls(),
            (std::vector<Call>{
                {"xdg-open", "x-apple.systempreferences:com.apple.preference.security?"
                             "Privacy_ScreenCapture"},
                {"xdg-open", "x-apple.systempreferences:com.apple.preference.security?"
                             "Privacy_Accessibility"},
            }));
}

TEST_F(HostControlTest, GrantButtonsAskTheHostAndOpenThePane) {
  useHost();
  HostControl::openScreenRecordingPane();
  HostControl::openAccessibilityPane();
  ASSERT_TRUE(fakes.waitForCalls("cvlhost", 2));
  auto hostCalls = fakes.callsTo("cvlhost");
  std::sort(hostCalls.begin(), hostCalls.end());
  EXPECT_EQ(hostCalls, (std::vector<Call>{{"cvlhost", "request-ax"}, {"cvlhost", "request-screen"}}));
  EXPECT_EQ(fakes.callsTo("xdg-open").size(), 2u);
}

TEST_F(HostControlTest, CheckJsonHangingPastSixSecondsIsEnded) {
  useHost();
  fakes.setOutput("cvlhost", R"({"accessibility": tr)");
  fakes.setHangs("cvlhost");
  EXPECT_EQ(HostControl::hostGrants(), (Grants{false, false, true}));
  expectNoChildren();
}

TEST_F(HostControlTest, AgentServiceThroughSystemctl) {
  fakes.setStatus("systemctl", 0);
  EXPECT_TRUE(HostControl::agentLoaded());
  fakes.setStatus("systemctl", 3);  // inactive
  EXPECT_FALSE(HostControl::agentLoaded());
  HostControl::startAgent();
  EXPECT_EQ(fakes.callsTo("systemctl"),
            (std::vector<Call>{
                {"systemctl", "--user", "is-active", "--quiet", "corvello-host.service"},
                {"systemctl", "--user", "is-active", "--quiet", "corvello-host.service"},
                {"systemctl", "--user", "restart", "corvello-host.service"},
            }));
}

TEST_F(HostControlTest, ProgramThatCannotStartReadsAsNotRunning) {
  ::setenv("PATH", home.path().c_str(), 1);  // nothing there
  EXPECT_FALSE(HostControl::agentLoaded());
  HostControl::startAgent();
  EXPECT_FALSE(HostControl::uninstall(false));
}

TEST_F(HostControlTest, UninstallStopsClearsAndRemovesWithOnePrompt) {
  useHost();
  writeConfig(R"({"deviceToken": "secret"})");
  std::string prefix = HostControl::installPrefix();
  std::string line = "rm -f " + prefix + "/bin/cvlhost; rm -f " + prefix +
                     "/lib/systemd/user/corvello-host.service; rm -f " + prefix +
                     "/share/applications/corvello-reregister.desktop; rm -f " + prefix +
                     "/share/applications/corvello-uninstall.desktop; "
                     "dpkg --purge corvello-host 2>/dev/null || true";

  EXPECT_TRUE(HostControl::uninstall(false));
  EXPECT_FALSE(std::filesystem::exists(home.file("Corvello")));
  EXPECT_EQ(fakes.calls(),
            (std::vector<Call>{
                {"systemctl", "--user", "disable", "--now", "corvello-host.service"},
                {"pkill", "-f", HostControl::hostExecutable()},
                {"pkexec", "/bin/sh", "-c", line},
            }));
  EXPECT_EQ(HostControl::privilegedCommands(false).size(), 5u);
}

TEST_F(HostControlTest, UninstallWithTheManagerAddsItsFiles) {
  std::string prefix = HostControl::installPrefix();
  auto commands = HostControl::privilegedCommands(true);
  ASSERT_EQ(commands.size(), 6u);
  EXPECT_EQ(commands[5], "rm -f " + prefix + "/bin/cvlmanager " + prefix +
                             "/share/applications/corvello.desktop");
}

TEST_F(HostControlTest, CancelledPromptIsAFailureAfterTheUserSteps) {
  writeConfig(R"({"deviceToken": "secret"})");
  fakes.setStatus("pkexec", 126);  // the dialog was dismissed
  EXPECT_FALSE(HostControl::uninstall(false));
  EXPECT_FALSE(std::filesystem::exists(home.file("Corvello")));
  EXPECT_EQ(fakes.callsTo("systemctl").size(), 1u);
  EXPECT_EQ(fakes.callsTo("pkill").size(), 1u);
}

TEST_F(HostControlTest, HostExecutableDefaultsToTheProgramsOwnFolder) {
  EXPECT_EQ(HostControl::hostExecutable(), std::string(CVL_BIN_DIR) + "/cvlhost");
  ::setenv("CVL_HOST_EXECUTABLE", "relative/cvlhost", 1);
  EXPECT_EQ(HostControl::hostExecutable(), std::string(CVL_BIN_DIR) + "/cvlhost");
  ::setenv("CVL_HOST_EXECUTABLE", "/opt/x/cvlhost", 1);
  EXPECT_EQ(HostControl::hostExecutable(), "/opt/x/cvlhost");
}

// --- the installer download ---------------------------------------------------------------

struct Outcome {
  bool ok = false;
  std::string message;
};

class DownloadTest : public HostControlTest {
 protected:
  void SetUp() override {
    HostControlTest::SetUp();
    ::setenv("CVL_WEBSITE_URL", broker.url().c_str(), 1);
  }

  Outcome download() {
    test::Awaited<Outcome> done;
    auto callback = done.callback();
    HostControl::downloadAndRunInstaller(
        [callback](bool ok, std::string message) { callback({ok, std::move(message)}); });
    return done.get();
  }

  std::string destination() const { return temp.file("Corvello-Update.deb"); }
  // Only the destination (no partial files) in the temporary folder.
  size_t filesInTemp() const {
    size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(temp.path())) ++n;
    return n;
  }

  test::FakeBroker broker;
  const std::string path = "/download/corvello-host-linux-amd64.deb";
};

TEST_F(DownloadTest, SavesOpensAndReplaces) {
  EXPECT_EQ(HostControl::installerDestination(), destination());
  broker.on(path, test::FakeBroker::Answer::raw(200, std::string(300'000, 'a')));
  Outcome first = download();
  EXPECT_TRUE(first.ok);
  EXPECT_EQ(first.message, "");
  EXPECT_EQ(test::readFile(destination()), std::string(300'000, 'a'));
  ASSERT_TRUE(fakes.waitForCalls("xdg-open", 1));
  EXPECT_EQ(fakes.callsTo("xdg-open")[0], (Call{"xdg-open", destination()}));

  broker.on(path, test::FakeBroker::Answer::raw(200, "second"));
  EXPECT_TRUE(download().ok);
  EXPECT_EQ(test::readFile(destination()), "second");
  EXPECT_EQ(filesInTemp(), 1u);

  auto requests = broker.requestsTo(path);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].header("cache-control"), "no-cache");
}

TEST_F(DownloadTest, NotFoundMovesNothingAndOpensNothing) {
  broker.on(path, test::FakeBroker::Answer::raw(200, "old"));
  ASSERT_TRUE(download().ok);
  ASSERT_TRUE(fakes.waitForCalls("xdg-open", 1));

  broker.on(path, test::FakeBroker::Answer::raw(404, "not here"));
  Outcome outcome = download();
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.message, "download failed (HTTP 404)");
  EXPECT_EQ(test::readFile(destination()), "old");
  EXPECT_EQ(filesInTemp(), 1u);
  EXPECT_EQ(fakes.callsTo("xdg-open").size(), 1u);
}

TEST_F(DownloadTest, BadUrlAndTransferErrors) {
  ::setenv("CVL_WEBSITE_URL", "not a url", 1);
  bool called = false;
  HostControl::downloadAndRunInstaller([&](bool ok, std::string message) {
    called = true;  // at once, on this thread
    EXPECT_FALSE(ok);
    EXPECT_EQ(message, "bad installer URL");
  });
  EXPECT_TRUE(called);

  ::setenv("CVL_WEBSITE_URL", "http://127.0.0.1:1", 1);
  Outcome refused = download();
  EXPECT_FALSE(refused.ok);
  EXPECT_FALSE(refused.message.empty());
  EXPECT_EQ(refused.message.find("download failed"), std::string::npos) << refused.message;
  EXPECT_EQ(filesInTemp(), 0u);
}

}  // namespace
}  // namespace cvl
