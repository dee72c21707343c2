// Console on POSIX file descriptors and termios.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "kit/broker/console.h"

namespace cvl::Console {

namespace {

void writeFd(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// Byte by byte, so that nothing past the line end is taken from the descriptor.
std::optional<std::string> readLineFd(int fd) {
  std::string line;
  bool any = false;
  for (;;) {
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    any = true;
    if (c == '\n') return line;
    line += c;
  }
  if (!any) return std::nullopt;
  return line;
}

// The settings to put back when a signal arrives while echo is off.
int gSecretFd = -1;
termios gSaved;
constexpr int RESTORE_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

void restoreAndReraise(int sig) {
  if (gSecretFd >= 0) ::tcsetattr(gSecretFd, TCSAFLUSH, &gSaved);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

void write(std::string_view text) { writeFd(STDOUT_FILENO, text); }

std::optional<std::string> readLine() { return readLineFd(STDIN_FILENO); }

std::optional<std::string> readSecret(const std::string& prompt) {
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  termios saved;
  if (::tcgetattr(fd, &saved) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);

  gSaved = saved;
  gSecretFd = fd;
  struct sigaction handler {}, previous[std::size(RESTORE_SIGNALS)];
  handler.sa_handler = restoreAndReraise;
  sigemptyset(&handler.sa_mask);
  for (size_t i = 0; i < std::size(RESTORE_SIGNALS); ++i) {
    ::sigaction(RESTORE_SIGNALS[i], &handler, &previous[i]);
  }

  std::optional<std::string> answer;
  // TCSAFLUSH drops anything typed ahead while it was still echoed.
  if (::tcsetattr(fd, TCSAFLUSH, &quiet) == 0) {
    writeFd(fd, prompt);
    answer = readLineFd(fd);
    if (!answer) answer = std::string();
    writeFd(fd, "\n");
    ::tcsetattr(fd, TCSAFLUSH, &saved);
  }

  for (size_t i = 0; i < std::size(RESTORE_SIGNALS); ++i) {
    ::sigaction(RESTORE_SIGNALS[i], &previous[i], nullptr);
  }
  gSecretFd = -1;
  ::close(fd);
  return answer;
}

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace cvl::Console
