// cvlhost's command line, run as a child process.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <thread>

#include "host/usage.h"
#include "tests/support/child_process.h"
#include "tests/support/stderr_capture.h"

namespace cvl {
namespace {

using namespace std::chrono_literals;
using test::ChildOptions;
using test::ChildProcess;
using test::TempDir;

// An environment without a display or any fabric.json the test did not put there.
ChildOptions isolated(const TempDir& home, std::vector<std::string> args) {
  ChildOptions options;
  options.args = std::move(args);
  options.unsetEnv = {"DISPLAY", "FABRIC_CONFIG", "XDG_CONFIG_HOME", "CVL_VERBOSE"};
  options.setEnv = {{"HOME", home.path()}};
  options.workingDir = home.path();
  return options;
}

TEST(CvlhostCommandLine, DispatchesOnTheFirstArgumentOnly) {
  TempDir home;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"help"}, 0, host::USAGE_TEXT},
      {{"-h"}, 0, host::USAGE_TEXT},
      {{"--help"}, 0, host::USAGE_TEXT},
      {{"help", "check-json"}, 0, host::USAGE_TEXT},
      {{"RUN"}, 2, host::USAGE_TEXT},
      {{"bogus", "help"}, 2, host::USAGE_TEXT},
      {{""}, 2, host::USAGE_TEXT},
      {{"check-json"}, 0, "{\"accessibility\":false,\"screenRecording\":false}\n"},
      {{"check-json", "extra"}, 0, "{\"accessibility\":false,\"screenRecording\":false}\n"},
      {{"request-screen"}, 0, ""},
      {{"request-ax"}, 0, ""},
      {{"check"}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    auto result = test::runChild(test::builtProgram("cvlhost"), isolated(home, c.args));
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
  }
}

TEST(CvlhostCommandLine, UsageTextIsExact) {
  EXPECT_EQ(std::string(host::USAGE_TEXT),
            "cvlhost \xE2\x80\x94 corvello macOS host\n\nUsage:\n"
            "  cvlhost run                 join the fabric as a host (default)\n"
            "  cvlhost register            enrol this Mac (writes fabric.json)\n"
            "  cvlhost check               show permission status\n"
            "  cvlhost help                this help\n\nEnv:\n"
            "  CVL_VERBOSE=1               verbose logging\n"
            "  FABRIC_CONFIG=/path         explicit fabric.json path\n"
            "  CVL_BROKER_URL / CVL_RELAY_URL / CVL_EMAIL / CVL_PASSWORD / CVL_DEVICE_NAME\n"
            "                              non-interactive registration overrides\n");
}

TEST(CvlhostCommandLine, CheckReportsOnStandardError) {
  TempDir home;
  auto result = test::runChild(test::builtProgram("cvlhost"), isolated(home, {"check"}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(test::logLines(result.err).size(), 5u);
  EXPECT_EQ(test::logLines(result.err).front(), "[perm] Accessibility (input): NOT granted");
}

const std::vector<std::string> START_LINES = {
    "[cvlhost] starting",
    "[perm] Accessibility (input): NOT granted",
    "[perm] Screen Recording (capture): NOT granted",
    "      -> System Settings > Privacy & Security > Accessibility: enable 'cvlhost'.",
    "      -> System Settings > Privacy & Security > Screen Recording: enable 'cvlhost'.",
    "      -> The Screen Recording grant only applies after you relaunch cvlhost.",
    "[cvlhost] Accessibility not granted \xE2\x80\x94 input injection will be silently dropped "
    "until it is.",
    "[cvlhost] Screen Recording not granted \xE2\x80\x94 requesting; grant it, then relaunch "
    "cvlhost.",
};

TEST(CvlhostRun, WithoutConfigurationStaysIdleAndSilent) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"run", "extra", "words"}}) {
    SCOPED_TRACE(args.size());
    TempDir home;
    ChildProcess host(test::builtProgram("cvlhost"), isolated(home, args));
    const std::string idle =
        "[cvlhost] no fabric.json \xE2\x80\x94 run `cvlhost register` first. Staying idle.";
    ASSERT_TRUE(host.waitForErr("Staying idle.\n", 10s)) << host.err();
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(host.running());
    auto expected = START_LINES;
    expected.push_back(idle);
    EXPECT_EQ(test::logLines(host.err()), expected);
    EXPECT_EQ(host.out(), "");
  }
}

TEST(CvlhostRun, JoinsWithTheConfigurationNamedByTheEnvironment) {
  TempDir home;
  home.write("custom.json",
             "\xEF\xBB\xBF{\"deviceId\":\"dev-42\",\"deviceToken\":\"s3cret\","
             "\"relayUrl\":\"wss://relay.example/\"}");
  auto options = isolated(home, {"run"});
  options.setEnv["FABRIC_CONFIG"] = home.file("custom.json");
  ChildProcess host(test::builtProgram("cvlhost"), options);
  ASSERT_TRUE(host.waitForErr("[cvlhost] joining the fabric as", 10s)) << host.err();
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(host.running());
  auto lines = test::logLines(host.err());
  ASSERT_GT(lines.size(), START_LINES.size());
  EXPECT_EQ(lines[START_LINES.size()],
            "[cvlhost] joining the fabric as dev-42 via wss://relay.example/");
  EXPECT_EQ(host.err().find("s3cret"), std::string::npos);
}

TEST(CvlhostRun, FindsTheConfigurationInTheConfigFolder) {
  TempDir home;
  mkdir(home.file(".config").c_str(), 0700);
  mkdir(home.file(".config/Corvello").c_str(), 0700);
  home.write(".config/Corvello/fabric.json",
             R"({"deviceId":"mac-1","deviceToken":"t","relayUrl":"ws://127.0.0.1:9"})");
  ChildProcess host(test::builtProgram("cvlhost"), isolated(home, {}));
  EXPECT_TRUE(host.waitForErr("[cvlhost] joining the fabric as mac-1 via ws://127.0.0.1:9\n", 10s))
      << host.err();
}

}  // namespace
}  // namespace cvl
