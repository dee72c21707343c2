// Starting outside programs: statuses, output, what the child inherits, and that nothing is
// left behind.
#include "manager/linux/process_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cvl {
namespace {

using namespace std::chrono_literals;

void expectNoChildren() {
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

ProcessRunner::Result shell(const std::string& script) {
  return ProcessRunner::run("/bin/sh", {"-c", script});
}

TEST(ProcessRunner, StatusAndOutput) {
  struct Case {
    const char* script;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {"printf 'one\\ntwo'", 0, "one\ntwo"},
      {"echo out; echo err >&2; exit 3", 3, "out\n"},
      {"printf 'caf\\303\\251'", 0, "café"},
      {"printf 'bad \\377 byte'", 0, ""},  // not UTF-8: empty
      {"kill -9 $$", 128 + 9, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    auto result = shell(c.script);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
  }
  expectNoChildren();
}

TEST(ProcessRunner, ProgramThatCannotStart) {
  auto result = ProcessRunner::run("cvl-no-such-program", {"x"});
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(ProcessRunner::runCapture("/nonexistent/program", {}, 1s), "");
}

TEST(ProcessRunner, LargeOutputAndNoisyStandardErrorNeverStall) {
  auto result = shell("head -c 3000000 /dev/zero | tr '\\0' x; head -c 3000000 /dev/zero >&2");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string(3'000'000, 'x'));
}

TEST(ProcessRunner, ChildGetsOnlyTheThreeStandardStreams) {
  int leaky = ::open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_GE(leaky, 3);
  auto result = shell("ls /proc/$$/fd");
  ::close(leaky);
  EXPECT_EQ(result.out, "0\n1\n2\n");
}

TEST(ProcessRunner, GrandchildHoldingTheOutputDoesNotKeepTheCallerWaiting) {
  auto result = shell("sleep 5 & echo started");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "started\n");
}

TEST(ProcessRunner, CaptureEndsAProgramAtTheDeadline) {
  EXPECT_EQ(ProcessRunner::runCapture("/bin/sh", {"-c", "echo partial; exec sleep 600"}, 300ms),
            "partial\n");
  expectNoChildren();
}

TEST(ProcessRunner, CaptureKillsAProgramThatIgnoresTermination) {
  EXPECT_EQ(ProcessRunner::runCapture(
                "/bin/sh", {"-c", "trap '' TERM; echo stubborn; while :; do sleep 0.1; done"},
                200ms),
            "stubborn\n");
  expectNoChildren();
}

TEST(ProcessRunner, CaptureOfAQuickProgramReturnsItsOutput) {
  EXPECT_EQ(ProcessRunner::runCapture("/bin/echo", {"a b", "c"}, 6s), "a b c\n");
}

TEST(ProcessRunner, DetachedProgramRunsWithoutAnyoneWaiting) {
  char folder[] = "/tmp/cvl-detached-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  std::string done = std::string(folder) + "/done";
  EXPECT_TRUE(ProcessRunner::startDetached(
      "/bin/sh", {"-c", "echo lots of output; echo more >&2; touch \"$0\"", done}));
  EXPECT_FALSE(ProcessRunner::startDetached("cvl-no-such-program", {}));
  for (int i = 0; i < 3000 && ::access(done.c_str(), F_OK) != 0; ++i) ::usleep(10'000);
  EXPECT_EQ(::access(done.c_str(), F_OK), 0);
  ::unlink(done.c_str());
  ::rmdir(folder);
}

TEST(ProcessRunner, Utf8Validation) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},           {"plain", true},          {"\xc3\xa9", true},
      {"\xe2\x80\x94", true}, {"\xf0\x9f\x98\x80", true}, {"\xc3", false},
      {"\xc0\xaf", false},  // overlong
      {"\xed\xa0\x80", false},  // surrogate
      {"\xf4\x90\x80\x80", false},  // beyond U+10FFFF
      {"\x80", false},
  };
  for (const auto& c : cases) EXPECT_EQ(ProcessRunner::isValidUtf8(c.bytes), c.valid) << c.bytes;
}

}  // namespace
}  // namespace cvl
