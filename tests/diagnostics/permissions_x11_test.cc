#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "kit/diagnostics/permissions.h"
#include "tests/support/child_process.h"
#include "tests/support/stderr_capture.h"
#include "tests/support/xvfb_server.h"

namespace cvl {
namespace {

using test::StderrCapture;

const std::vector<std::string> BOTH_GRANTED = {
    "[perm] Accessibility (input): granted",
    "[perm] Screen Recording (capture): granted",
};

const std::vector<std::string> NEITHER_GRANTED = {
    "[perm] Accessibility (input): NOT granted",
    "[perm] Screen Recording (capture): NOT granted",
    "      -> System Settings > Privacy & Security > Accessibility: enable 'cvlhost'.",
    "      -> System Settings > Privacy & Security > Screen Recording: enable 'cvlhost'.",
    "      -> The Screen Recording grant only applies after you relaunch cvlhost.",
};

TEST(Permissions, GrantedOnAnXServerWithXTest) {
  test::XvfbServer server;
  server.exportDisplay();
  EXPECT_TRUE(Permissions::hasAccessibility(false));
  EXPECT_TRUE(Permissions::hasAccessibility(true));
  EXPECT_TRUE(Permissions::hasScreenRecording());
  EXPECT_TRUE(Permissions::requestScreenRecording());
  StderrCapture capture;
  Permissions::report(false);
  EXPECT_EQ(capture.lines(), BOTH_GRANTED);
}

TEST(Permissions, WithoutXTestInputIsNotGranted) {
  test::XvfbServer server({.extraArgs = {"-extension", "XTEST"}});
  server.exportDisplay();
  EXPECT_FALSE(Permissions::hasAccessibility(false));
  EXPECT_TRUE(Permissions::hasScreenRecording());
}

TEST(Permissions, NothingIsGrantedWithoutADisplay) {
  unsetenv("DISPLAY");
  EXPECT_FALSE(Permissions::hasAccessibility(true));
  EXPECT_FALSE(Permissions::hasScreenRecording());
  EXPECT_FALSE(Permissions::requestScreenRecording());
  StderrCapture capture;
  Permissions::report(false);
  EXPECT_EQ(capture.lines(), NEITHER_GRANTED);
}

TEST(Permissions, SettingsPanesAreAddressedByAnchor) {
  EXPECT_EQ(Permissions::settingsURL(Permissions::Pane::accessibility),
            "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility");
  EXPECT_EQ(Permissions::settingsURL(Permissions::Pane::screenRecording),
            "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture");
}

}  // namespace
}  // namespace cvl

namespace cvl {
namespace {

TEST(Permissions, ReportCanOpenBothPanesWhateverTheState) {
  test::XvfbServer server;
  server.exportDisplay();
  test::TempDir bin;
  bin.write("xdg-open", "#!/bin/sh\necho \"$1\" >> \"$(dirname \"$0\")/opened\"\n");
  chmod(bin.file("xdg-open").c_str(), 0755);
  std::string path = bin.path() + ":" + getenv("PATH");
  setenv("PATH", path.c_str(), 1);

  StderrCapture capture;
  Permissions::report(true);
  std::set<std::string> opened;
  for (int i = 0; i < 400 && opened.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    opened.clear();
    std::istringstream lines(test::readFile(bin.file("opened")));
    for (std::string line; std::getline(lines, line);) opened.insert(line);
  }
  EXPECT_EQ(opened, (std::set<std::string>{
                        Permissions::settingsURL(Permissions::Pane::accessibility),
                        Permissions::settingsURL(Permissions::Pane::screenRecording)}));
  EXPECT_EQ(capture.lines(), BOTH_GRANTED);
}

}  // namespace
}  // namespace cvl

namespace cvl {
namespace {

TEST(Permissions, RepeatedProbesSurviveAServerThatResetsBetweenClients) {
  test::XvfbServer server({.noReset = false});
  server.exportDisplay();
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(Permissions::hasScreenRecording());
    ASSERT_TRUE(Permissions::hasAccessibility(false));
  }
}

}  // namespace
}  // namespace cvl
