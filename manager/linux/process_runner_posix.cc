// ProcessRunner on posix_spawn: the read end of the output pipe is polled every 50 ms while
// the child runs, so a chatty child never blocks on a full pipe.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include "manager/linux/process_runner.h"

extern char** environ;

namespace cvl::ProcessRunner {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds POLL_INTERVAL{50};
constexpr std::chrono::milliseconds KILL_GRACE{2000};

struct Child {
  pid_t pid = -1;
  int out = -1;  // read end of the child's standard output
};

// With `capture` false the child's standard output goes to /dev/null and `out` is -1.
std::optional<Child> spawn(const std::string& program, const std::vector<std::string>& args,
                           bool capture = true) {
  int pipeFds[2] = {-1, -1};
  if (capture && ::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (capture) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  // Standard error is never read: it goes nowhere, so it can never fill up and stall the child.
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // Whatever the manager has open (sockets, the X connection) stays out of the child even
  // when a library forgot close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // The child starts with no blocked signals and default dispositions, whatever this thread
  // had, so that SIGTERM at the deadline ends it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> words;
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (capture) ::close(pipeFds[1]);
  if (rc != 0) {
    if (capture) ::close(pipeFds[0]);
    return std::nullopt;
  }
  return Child{pid, pipeFds[0]};
}

// Reads what is there now; false once the pipe has reached its end.
bool readAvailable(int fd, std::string& sink) {
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      sink.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    return false;
  }
}

int statusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

// Collects the output until the child exits (or, with a deadline, until it has been asked to
// end). Afterwards only what is already in the pipe is read: a grandchild that inherited the
// pipe (a browser started by xdg-open) must not keep the caller waiting.
Result collect(Child child, std::optional<Clock::time_point> deadline) {
  ::fcntl(child.out, F_SETFL, ::fcntl(child.out, F_GETFL) | O_NONBLOCK);
  Result result;
  bool open = true;
  std::optional<Clock::time_point> killAt;
  int waitStatus = 0;
  bool reaped = false;
  for (;;) {
    pid_t done;
    do {
      done = ::waitpid(child.pid, &waitStatus, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == child.pid) {
      reaped = true;
      break;
    }
    if (done < 0) break;  // someone else reaped it: the status is lost

    auto now = Clock::now();
    if (deadline && !killAt && now >= *deadline) {
      ::kill(child.pid, SIGTERM);
      killAt = now + KILL_GRACE;
    } else if (killAt && now >= *killAt) {
      ::kill(child.pid, SIGKILL);
      killAt = Clock::time_point::max();
    }

    if (open) {
      pollfd p{child.out, POLLIN, 0};
      int ready = ::poll(&p, 1, static_cast<int>(POLL_INTERVAL.count()));
      if (ready > 0) open = readAvailable(child.out, result.out);
    } else {
      ::poll(nullptr, 0, static_cast<int>(POLL_INTERVAL.count()));
    }
  }
  if (open) readAvailable(child.out, result.out);
  ::close(child.out);
  result.status = reaped ? statusOf(waitStatus) : -1;
  if (!isValidUtf8(result.out)) result.out.clear();
  return result;
}

}  // namespace

Result run(const std::string& program, const std::vector<std::string>& args) {
  auto child = spawn(program, args);
  if (!child) return {};
  return collect(*child, std::nullopt);
}

std::string runCapture(const std::string& program, const std::vector<std::string>& args,
                       std::chrono::milliseconds timeout) {
  auto child = spawn(program, args);
  if (!child) return {};
  return collect(*child, Clock::now() + timeout).out;
}

bool startDetached(const std::string& program, const std::vector<std::string>& args) {
  auto child = spawn(program, args, false);
  if (!child) return false;
  pid_t pid = child->pid;
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

bool isValidUtf8(const std::string& bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    unsigned min;
    unsigned code;
    if ((c & 0xE0) == 0xC0) {
      length = 2, min = 0x80, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, min = 0x800, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, min = 0x10000, code = c & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace cvl::ProcessRunner
