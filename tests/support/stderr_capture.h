#pragma once
// Redirects this process's standard error (fd 2) into a temporary file for the lifetime of
// the object, so tests can read what the log wrote.

#include <string>
#include <vector>

namespace cvl::test {

class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written so far.
  std::string text() const;
  // The lines written so far, without their "[timestamp] " prefix.
  std::vector<std::string> lines() const;

 private:
  int savedFd_ = -1;
  int fileFd_ = -1;
};

// "[2026-03-01T09:15:02.417Z] text" -> "text"; a line without the prefix is returned whole.
std::string withoutTimestamp(const std::string& line);
// Splits output into lines and strips their timestamps.
std::vector<std::string> logLines(const std::string& output);

}  // namespace cvl::test
