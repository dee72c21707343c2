#pragma once
// A private X server for one test process: Xvfb on a free display number (chosen by the
// server itself through -displayfd), killed when the object goes. X11 tests create one in
// their fixture and call exportDisplay() so that everything in the process uses it.

#include <sys/types.h>

#include <string>
#include <vector>

namespace cvl::test {

class XvfbServer {
 public:
  struct Options {
    int width = 1280;
    int height = 800;
    int depth = 24;
    // Keep the server from resetting when its last client disconnects.
    bool noReset = true;
    std::vector<std::string> extraArgs;
  };

  XvfbServer();  // 1280x800x24
  explicit XvfbServer(Options options);
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N"
  const std::string& display() const { return display_; }
  // Sets DISPLAY of this process to the server.
  void exportDisplay() const;
  // Ends the server now with `sig` (SIGKILL: as if it crashed) and waits for it.
  void stop(int sig);

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace cvl::test
