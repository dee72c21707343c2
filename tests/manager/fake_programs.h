#pragma once
// A folder of stand-ins for the programs host control starts (systemctl, pkexec, pkill,
// xdg-open) and for the host agent itself, put in front of PATH for this test process. Each
// call is recorded with its arguments; a test chooses a program's exit status, what it
// prints, or that it hangs.

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace cvl::test {

class FakePrograms {
 public:
  using Call = std::vector<std::string>;  // program name, then its arguments

  // Installs systemctl, pkexec, pkill and xdg-open and puts the folder first on PATH.
  FakePrograms();
  ~FakePrograms();

  // A recording stand-in for the host agent, not on PATH; its absolute path.
  std::string makeHost();

  void setStatus(const std::string& program, int status);
  void setOutput(const std::string& program, const std::string& text);
  // The program prints its output, then blocks until killed.
  void setHangs(const std::string& program);
  // Replaces a stand-in with a script of one's own (its body after "#!/bin/sh").
  void setScript(const std::string& program, const std::string& body);

  std::vector<Call> calls() const;
  std::vector<Call> callsTo(const std::string& program) const;
  // Waits until `program` has been called at least `count` times.
  bool waitForCalls(const std::string& program, size_t count, int timeoutMs = 30000) const;

  const std::string& folder() const { return dir_.path(); }

 private:
  void install(const std::string& program);

  TempDir dir_;
  std::string oldPath_;
};

}  // namespace cvl::test
