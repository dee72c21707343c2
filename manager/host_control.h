#pragma once
// Controls the installed host agent from outside, as a separate program: whether this
// computer is enrolled and under which name (fabric.json), which permissions the host holds
// (`cvlhost check-json`), whether its user service runs, (re)starting it, sending the owner
// to the permission settings, removing the installation with one administrator prompt, and
// fetching and opening the host's installer for an update.
//
// Stateless: every call starts from the disk and the running processes as they are now.
// Every operation blocks its caller while outside programs run, except the download, which
// reports through its completion. Nothing throws: failures read as false, empty or absent.
// Any thread may call; the model calls the blocking ones off the main thread.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cvl {

// What the host agent reports about itself.
struct Grants {
  bool accessibility = false;
  bool screenRecording = false;
  bool hostPresent = false;  // the host executable exists and is executable

  bool operator==(const Grants&) const = default;
};

namespace HostControl {

// The host agent's user service.
inline constexpr const char* AGENT_UNIT = "corvello-host.service";
inline constexpr std::chrono::milliseconds CHECK_JSON_TIMEOUT{6000};
inline constexpr const char* INSTALLER_FILE_NAME = "Corvello-Update.deb";
inline constexpr std::chrono::milliseconds DOWNLOAD_TIMEOUT{60'000};

// $CVL_HOST_EXECUTABLE when set and absolute, else "cvlhost" beside the running program.
std::string hostExecutable();
// The installation prefix: the parent of the running program's folder (/usr for the packages).
std::string installPrefix();
// The folder of fabric.json and the file itself.
std::string configFile();
// The web site (CVL_WEBSITE_URL overrides the built-in address) and what it offers.
std::string websiteUrl();
std::string installerUrl();
// The temporary folder joined with INSTALLER_FILE_NAME.
std::string installerDestination();

bool isRegistered();
std::optional<std::string> registeredName();
Grants hostGrants();
bool agentLoaded();
void startAgent();
void openScreenRecordingPane();
void openAccessibilityPane();

// The commands that run with administrator rights, in order.
std::vector<std::string> privilegedCommands(bool alsoRemoveManager);
// True exactly when the privileged part succeeded (false when the prompt was cancelled).
bool uninstall(bool alsoRemoveManager);

// Completion (success, message) runs once on the HTTP client's thread, or at once on the
// caller's thread when the installer's address is unusable.
void downloadAndRunInstaller(std::function<void(bool, std::string)> completion);

}  // namespace HostControl

}  // namespace cvl
