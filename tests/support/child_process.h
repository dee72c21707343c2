#pragma once
// A program started by a test: arguments, extra environment, standard input fed from a pipe,
// standard output and error collected by background readers. The destructor kills the child
// (SIGKILL) if it still runs and reaps it.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace cvl::test {

struct ChildOptions {
  std::vector<std::string> args;                   // argv[1...]
  std::map<std::string, std::string> setEnv;       // added to / replacing the inherited env
  std::vector<std::string> unsetEnv;               // removed from the inherited env
  std::optional<std::string> workingDir;
  bool usePseudoTerminal = false;  // the child gets a new session whose controlling tty and
                                   // stdin/stdout are a pty; stderr stays a pipe
};

class ChildProcess {
 public:
  ChildProcess(const std::string& program, ChildOptions options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes to the child's standard input (or its terminal).
  void writeInput(const std::string& text);
  void closeInput();

  void signal(int sig);
  // Waits for the child to end; the exit status, or 128 + signal number when it was killed
  // by a signal, or nothing when it still runs after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  bool running();

  // Everything read so far.
  std::string out();
  std::string err();
  // Waits until `needle` appears in stdout (or stderr); false on timeout.
  bool waitForOut(const std::string& needle, std::chrono::milliseconds timeout);
  bool waitForErr(const std::string& needle, std::chrono::milliseconds timeout);
  // Waits until both output streams have reached their end; false on timeout.
  bool waitForOutputEnd(std::chrono::milliseconds timeout);

 private:
  void readLoop(int fd, std::string* sink);
  bool waitFor(const std::string* sink, const std::string& needle,
               std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::optional<int> status_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_;
  std::string err_;
  int streamsEnded_ = 0;
  std::thread outReader_;
  std::thread errReader_;
};

// Runs a program to completion (with a timeout) and returns status and output.
struct ChildResult {
  int status = -1;  // -1 when it timed out (it is then killed)
  std::string out;
  std::string err;
};
ChildResult runChild(const std::string& program, ChildOptions options = {},
                     const std::string& input = "",
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Path of a program built by this project (in the build's bin folder).
std::string builtProgram(const std::string& name);

// A fresh temporary folder removed (with its contents) when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

std::string readFile(const std::string& path);

}  // namespace cvl::test
