#include "tests/support/stderr_capture.h"

#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

namespace cvl::test {

StderrCapture::StderrCapture() {
  char name[] = "/tmp/cvlstderr-XXXXXX";
  fileFd_ = mkstemp(name);
  if (fileFd_ < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  savedFd_ = dup(2);
  dup2(fileFd_, 2);
}

StderrCapture::~StderrCapture() {
  dup2(savedFd_, 2);
  close(savedFd_);
  close(fileFd_);
}

std::string StderrCapture::text() const {
  std::string out;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(fileFd_, buffer, sizeof buffer, offset);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return out;
}

std::vector<std::string> StderrCapture::lines() const { return logLines(text()); }

std::string withoutTimestamp(const std::string& line) {
  // "[" + 24 characters of time + "] "
  if (line.size() >= 27 && line[0] == '[' && line[25] == ']' && line[26] == ' ') {
    return line.substr(27);
  }
  return line;
}

std::vector<std::string> logLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) lines.push_back(withoutTimestamp(line));
  return lines;
}

}  // namespace cvl::test
