#pragma once
// Runs an outside program the way host control needs it: started directly (no shell), found
// through PATH when the name has no slash, its standard output collected through a pipe, its
// standard error discarded, nothing but the three standard streams passed on. The child is
// always reaped before these return, so no zombie is left. Any thread may call.

#include <chrono>
#include <string>
#include <vector>

namespace cvl::ProcessRunner {

struct Result {
  int status = -1;  // the exit status; -1 when it could not be started, 128 + N after signal N
  std::string out;  // its standard output when that is valid UTF-8, else empty
};

// Waits as long as the program runs.
Result run(const std::string& program, const std::vector<std::string>& args);

// Waits until `timeout`; a program still running then gets SIGTERM (and SIGKILL when it
// ignores that for another two seconds). The output it printed so far is returned.
std::string runCapture(const std::string& program, const std::vector<std::string>& args,
                       std::chrono::milliseconds timeout);

// Starts the program on the calling thread and returns at once; its output is discarded and a
// helper thread reaps it when it ends. False when it could not be started.
bool startDetached(const std::string& program, const std::vector<std::string>& args);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool isValidUtf8(const std::string& bytes);

}  // namespace cvl::ProcessRunner
