#include "tests/manager/fake_programs.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace cvl::test {

namespace {

// Records "name\x1farg\x1farg...\x1e" into calls.log, prints out.<name>, then hangs or exits
// with status.<name>. The log is written before anything else so a hanging call is seen, and
// in one write, so that stand-ins running at the same time never mix their records.
const char* STAND_IN = R"SH(#!/bin/sh
dir=$(dirname "$0")
name=$(basename "$0")
record=$name
for a in "$@"; do record="$record$(printf '\037')$a"; done
printf '%s\036' "$record" >> "$dir/calls.log"
[ -f "$dir/out.$name" ] && cat "$dir/out.$name"
[ -f "$dir/hang.$name" ] && exec sleep 600
[ -f "$dir/status.$name" ] && exit "$(cat "$dir/status.$name")"
exit 0
)SH";

}  // namespace

FakePrograms::FakePrograms() {
  for (const char* program : {"systemctl", "pkexec", "pkill", "xdg-open"}) install(program);
  const char* path = ::getenv("PATH");
  oldPath_ = path ? path : "/usr/bin:/bin";
  ::setenv("PATH", (dir_.path() + ":" + oldPath_).c_str(), 1);
}

FakePrograms::~FakePrograms() { ::setenv("PATH", oldPath_.c_str(), 1); }

void FakePrograms::install(const std::string& program) {
  dir_.write(program, STAND_IN);
  ::chmod(dir_.file(program).c_str(), 0755);
}

std::string FakePrograms::makeHost() {
  std::filesystem::create_directories(dir_.file("host"));
  std::string path = dir_.file("host/cvlhost");
  {
    std::ofstream out(path);
    std::string script = STAND_IN;
    // The host's records and settings live in the main folder, like everyone else's.
    script.replace(script.find("dir=$(dirname \"$0\")"), 19, "dir=$(dirname \"$0\")/..");
    out << script;
  }
  ::chmod(path.c_str(), 0755);
  return path;
}

void FakePrograms::setStatus(const std::string& program, int status) {
  dir_.write("status." + program, std::to_string(status));
}

void FakePrograms::setOutput(const std::string& program, const std::string& text) {
  dir_.write("out." + program, text);
}

void FakePrograms::setHangs(const std::string& program) { dir_.write("hang." + program, ""); }

void FakePrograms::setScript(const std::string& program, const std::string& body) {
  dir_.write(program, "#!/bin/sh\n" + body);
  ::chmod(dir_.file(program).c_str(), 0755);
}

std::vector<FakePrograms::Call> FakePrograms::calls() const {
  std::vector<Call> calls;
  std::string log = readFile(dir_.file("calls.log"));
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\x1e', start);
    if (end == std::string::npos) break;  // a record still being written
    Call call;
    size_t field = start;
    for (;;) {
      size_t next = log.find('\x1f', field);
      if (next == std::string::npos || next > end) {
        call.push_back(log.substr(field, end - field));
        break;
      }
      call.push_back(log.substr(field, next - field));
      field = next + 1;
    }
    calls.push_back(std::move(call));
    start = end + 1;
  }
  return calls;
}

std::vector<FakePrograms::Call> FakePrograms::callsTo(const std::string& program) const {
  std::vector<Call> matching;
  for (auto& call : calls()) {
    if (!call.empty() && call[0] == program) matching.push_back(call);
  }
  return matching;
}

bool FakePrograms::waitForCalls(const std::string& program, size_t count, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (callsTo(program).size() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return callsTo(program).size() >= count;
}

}  // namespace cvl::test
