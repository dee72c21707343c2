#include "tests/support/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

namespace cvl::test {

XvfbServer::XvfbServer() : XvfbServer(Options{}) {}

XvfbServer::XvfbServer(Options options) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> args{"Xvfb",
                                "-displayfd",
                                std::to_string(fds[1]),
                                "-screen",
                                "0",
                                std::to_string(options.width) + "x" +
                                    std::to_string(options.height) + "x" +
                                    std::to_string(options.depth),
                                "-nolisten",
                                "tcp"};
  if (options.noReset) args.push_back("-noreset");
  args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    close(fds[0]);
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
    setpgid(0, 0);
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  close(fds[1]);

  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    ssize_t n = read(fds[0], &c, 1);
    if (n <= 0) break;
    if (c == '\n') break;
    number.push_back(c);
  }
  close(fds[0]);
  if (number.empty()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
  }
  display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
  if (pid_ <= 0) return;
  stop(SIGTERM);
}

void XvfbServer::stop(int sig) {
  if (pid_ <= 0) return;
  kill(pid_, sig);
  pid_t pid = std::exchange(pid_, -1);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void XvfbServer::exportDisplay() const { setenv("DISPLAY", display_.c_str(), 1); }

}  // namespace cvl::test
