#include "kit/diagnostics/log.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/stderr_capture.h"

namespace cvl {
namespace {

using test::StderrCapture;

TEST(Log, WritesOneTimestampedLineOfSpaceJoinedItems) {
  StderrCapture capture;
  Log::line("[fabric] client", 7, "joined as", std::string("owner"));
  Log::line();
  Log::line("[x]", true, false, -42, 3000000000u, 0.5, 30.0, 'c');
  std::string text = capture.text();

  std::regex shape(
      R"(\[\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z\] \[fabric\] client 7 joined as owner
\[\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z\] 
\[[^\]]+\] \[x\] true false -42 3000000000 0\.5 30\.0 c
)");
  EXPECT_TRUE(std::regex_match(text, shape)) << text;
}

TEST(Log, VerboseLinesFollowTheSwitch) {
  bool saved = Log::verbose();
  StderrCapture capture;
  Log::setVerbose(false);
  Log::vlog("[input] hidden");
  Log::setVerbose(true);
  Log::vlog("[input] shown", 1);
  Log::setVerbose(saved);
  EXPECT_EQ(capture.lines(), std::vector<std::string>{"[input] shown 1"});
}

TEST(Log, GoesWhereItIsSent) {
  StderrCapture capture;
  int sink[2];
  ASSERT_EQ(pipe(sink), 0);
  Log::setOutput(sink[1]);
  Log::line("[relay] elsewhere");
  Log::setOutput(STDERR_FILENO);
  Log::line("[relay] back");
  close(sink[1]);
  char buffer[256] = {};
  const ssize_t got = read(sink[0], buffer, sizeof buffer - 1);
  close(sink[0]);
  ASSERT_GT(got, 0);
  EXPECT_TRUE(std::string(buffer).ends_with("] [relay] elsewhere\n")) << buffer;
  EXPECT_EQ(capture.lines(), std::vector<std::string>{"[relay] back"});
}

TEST(Log, VerboseFromEnvironmentIsExactlyOne) {
  struct Case {
    const char* value;
    bool verbose;
  } cases[] = {{"1", true},     {nullptr, false}, {"", false},  {"0", false},
               {"true", false}, {"yes", false},   {"01", false}, {"1 ", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    EXPECT_EQ(Log::verboseFromEnvironment(c.value), c.verbose);
  }
}

TEST(Log, LinesFromManyThreadsNeverInterleave) {
  StderrCapture capture;
  constexpr int THREADS = 8;
  constexpr int LINES = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([t] {
      std::string body(200, static_cast<char>('a' + t));
      for (int i = 0; i < LINES; ++i) Log::line("[t]", t, i, body);
    });
  }
  for (auto& thread : threads) thread.join();

  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(THREADS * LINES));
  std::set<std::string> seen;
  for (const auto& line : lines) {
    // "[t] <thread> <index> <200 x letter of that thread>"
    std::istringstream fields(line);
    std::string tag, body;
    int thread = -1, index = -1;
    fields >> tag >> thread >> index >> body;
    ASSERT_EQ(tag, "[t]") << line;
    ASSERT_TRUE(thread >= 0 && thread < THREADS) << line;
    ASSERT_EQ(body, std::string(200, static_cast<char>('a' + thread))) << line;
    seen.insert(std::to_string(thread) + "/" + std::to_string(index));
  }
  EXPECT_EQ(seen.size(), lines.size());
}

}  // namespace
}  // namespace cvl
