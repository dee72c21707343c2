// The Linux half of HostControl: the host agent runs as the systemd user service
// corvello-host.service, permission settings and installers open with xdg-open, and the
// administrator prompt is pkexec. Every outside program is found through PATH.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "kit/fabric/fabric_config.h"
#include "manager/host_control.h"
#include "manager/linux/process_runner.h"

namespace cvl::HostControl {

namespace {

std::string ownFolder() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return ".";
  return self.parent_path().string();
}

// Quoted for /bin/sh only when it needs to be, so ordinary paths read as typed.
std::string shellWord(const std::string& word) {
  bool plain = !word.empty();
  for (char c : word) {
    bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                std::string_view("/._-+,:=@%").find(c) != std::string_view::npos;
    if (!safe) plain = false;
  }
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

void openPane(const std::string& anchor) {
  ProcessRunner::run("xdg-open",
                     {"x-apple.systempreferences:com.apple.preference.security?" + anchor});
}

// Makes the host agent ask for a permission on its own behalf; nothing waits for it (the
// program is started here and reaped in the background).
void requestFromHost(const char* command) {
  std::string host = hostExecutable();
  if (::access(host.c_str(), X_OK) != 0) return;
  ProcessRunner::startDetached(host, {command});
}

}  // namespace

std::string hostExecutable() {
  const char* configured = ::getenv("CVL_HOST_EXECUTABLE");
  if (configured && configured[0] == '/') return configured;
  return ownFolder() + "/cvlhost";
}

std::string installPrefix() {
  std::string prefix = std::filesystem::path(ownFolder()).parent_path().string();
  return prefix.empty() ? "/" : prefix;
}

bool agentLoaded() {
  return ProcessRunner::run("systemctl", {"--user", "is-active", "--quiet", AGENT_UNIT}).status ==
         0;
}

void startAgent() { ProcessRunner::run("systemctl", {"--user", "restart", AGENT_UNIT}); }

void openScreenRecordingPane() {
  requestFromHost("request-screen");
  openPane("Privacy_ScreenCapture");
}

void openAccessibilityPane() {
  requestFromHost("request-ax");
  openPane("Privacy_Accessibility");
}

std::vector<std::string> privilegedCommands(bool alsoRemoveManager) {
  std::string prefix = installPrefix();
  if (prefix == "/") prefix.clear();
  std::vector<std::string> commands = {
      "rm -f " + shellWord(prefix + "/bin/cvlhost"),
      "rm -f " + shellWord(prefix + "/lib/systemd/user/" + AGENT_UNIT),
      "rm -f " + shellWord(prefix + "/share/applications/corvello-reregister.desktop"),
      "rm -f " + shellWord(prefix + "/share/applications/corvello-uninstall.desktop"),
      "dpkg --purge corvello-host 2>/dev/null || true",
  };
  if (alsoRemoveManager) {
    commands.push_back("rm -f " + shellWord(prefix + "/bin/cvlmanager") + " " +
                       shellWord(prefix + "/share/applications/corvello.desktop"));
  }
  return commands;
}

bool uninstall(bool alsoRemoveManager) {
  // As the logged-in user; none of these decides the outcome.
  ProcessRunner::run("systemctl", {"--user", "disable", "--now", AGENT_UNIT});
  ProcessRunner::run("pkill", {"-f", hostExecutable()});
  std::error_code ignored;
  std::filesystem::remove_all(FabricConfigLoader::defaultConfigDir(), ignored);
  // X11 keeps no database of granted permissions, so there is nothing to reset here.

  std::string line;
  for (const auto& command : privilegedCommands(alsoRemoveManager)) {
    if (!line.empty()) line += "; ";
    line += command;
  }
  // One password prompt for the whole list; a cancelled prompt ends with a non-zero status.
  return ProcessRunner::run("pkexec", {"/bin/sh", "-c", line}).status == 0;
}

}  // namespace cvl::HostControl
