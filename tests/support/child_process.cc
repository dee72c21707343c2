#include "tests/support/child_process.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace cvl::test {

namespace {

std::vector<std::string> buildEnvironment(const ChildOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& name : options.unsetEnv) env.erase(name);
  for (const auto& [name, value] : options.setEnv) env[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, ChildOptions options) {
  std::vector<std::string> argvStrings{program};
  argvStrings.insert(argvStrings.end(), options.args.begin(), options.args.end());
  std::vector<std::string> envStrings = buildEnvironment(options);
  std::vector<char*> argv, envp;
  for (auto& s : argvStrings) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (options.usePseudoTerminal) {
    int master = -1;
    pid_ = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid_ < 0) throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
      dup2(errPipe[1], 2);
      if (options.workingDir && chdir(options.workingDir->c_str()) != 0) _exit(127);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    inFd_ = master;
    outFd_ = dup(master);
  } else {
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(inPipe[0], 0);
      dup2(outPipe[1], 1);
      dup2(errPipe[1], 2);
      setpgid(0, 0);
      if (options.workingDir && chdir(options.workingDir->c_str()) != 0) _exit(127);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    inFd_ = inPipe[1];
    outFd_ = outPipe[0];
  }
  close(errPipe[1]);
  errFd_ = errPipe[0];
  outReader_ = std::thread([this] { readLoop(outFd_, &out_); });
  errReader_ = std::thread([this] { readLoop(errFd_, &err_); });
}

ChildProcess::~ChildProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }
  closeInput();
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

void ChildProcess::readLoop(int fd, std::string* sink) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EOF, or EIO on a pty whose child is gone
    std::lock_guard lock(mutex_);
    sink->append(buffer, static_cast<size_t>(n));
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  ++streamsEnded_;
  changed_.notify_all();
}

bool ChildProcess::waitForOutputEnd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return streamsEnded_ == 2; });
}

void ChildProcess::writeInput(const std::string& text) {
  size_t done = 0;
  while (inFd_ >= 0 && done < text.size()) {
    ssize_t n = ::write(inFd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

void ChildProcess::closeInput() {
  if (inFd_ >= 0) {
    close(inFd_);
    inFd_ = -1;
  }
}

void ChildProcess::signal(int sig) {
  if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ChildProcess::running() { return !wait(std::chrono::milliseconds(0)).has_value(); }

std::string ChildProcess::out() {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string ChildProcess::err() {
  std::lock_guard lock(mutex_);
  return err_;
}

bool ChildProcess::waitFor(const std::string* sink, const std::string& needle,
                           std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&] { return sink->find(needle) != std::string::npos; });
}

bool ChildProcess::waitForOut(const std::string& needle, std::chrono::milliseconds timeout) {
  return waitFor(&out_, needle, timeout);
}

bool ChildProcess::waitForErr(const std::string& needle, std::chrono::milliseconds timeout) {
  return waitFor(&err_, needle, timeout);
}

ChildResult runChild(const std::string& program, ChildOptions options, const std::string& input,
                     std::chrono::milliseconds timeout) {
  ChildProcess child(program, std::move(options));
  child.writeInput(input);
  child.closeInput();
  ChildResult result;
  auto status = child.wait(timeout);
  if (!status) {
    child.signal(SIGKILL);
    child.wait(std::chrono::seconds(10));
  }
  result.status = status.value_or(-1);
  child.waitForOutputEnd(std::chrono::seconds(2));
  result.out = child.out();
  result.err = child.err();
  return result;
}

std::string builtProgram(const std::string& name) { return std::string(CVL_BIN_DIR) + "/" + name; }

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "cvltest-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& contents) const {
  std::ofstream(file(name), std::ios::binary) << contents;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace cvl::test
