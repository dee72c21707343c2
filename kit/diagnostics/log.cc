#include "kit/diagnostics/log.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cvl::Log {

namespace {

std::atomic<bool>& verboseFlag() {
  // A function-local static: initialised once, thread-safely, on first use.
  static std::atomic<bool> flag{verboseFromEnvironment(std::getenv("CVL_VERBOSE"))};
  return flag;
}

std::atomic<int> output{STDERR_FILENO};

}  // namespace

bool verboseFromEnvironment(const char* value) { return value && std::strcmp(value, "1") == 0; }

bool verbose() { return verboseFlag().load(std::memory_order_relaxed); }

void setVerbose(bool on) { verboseFlag().store(on, std::memory_order_relaxed); }

void setOutput(int fd) { output.store(fd, std::memory_order_relaxed); }

void writeLine(std::string_view text) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[48];
  int n = std::snprintf(stamp, sizeof stamp, "[%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ] ",
                        utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                        utc.tm_min, utc.tm_sec, now.tv_nsec / 1000000);
  std::string out;
  out.reserve(static_cast<size_t>(n) + text.size() + 1);
  out.append(stamp, static_cast<size_t>(n));
  out.append(text);
  out.push_back('\n');

  const int fd = output.load(std::memory_order_relaxed);
  const char* data = out.data();
  size_t left = out.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // logging never fails its caller
    data += written;
    left -= static_cast<size_t>(written);
  }
}

namespace detail {

void appendFloating(std::string& out, double value) {
  if (std::isnan(value)) {
    out.append("nan");
    return;
  }
  if (std::isinf(value)) {
    out.append(value > 0 ? "inf" : "-inf");
    return;
  }
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string_view text(buffer, static_cast<size_t>(end - buffer));
  out.append(text);
  // Whole numbers keep a fractional part ("30.0"), as a floating-point value reads.
  if (text.find_first_of(".e") == std::string_view::npos) out.append(".0");
}

}  // namespace detail

}  // namespace cvl::Log
