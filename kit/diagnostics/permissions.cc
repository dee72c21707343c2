#include "kit/diagnostics/permissions.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "kit/diagnostics/log.h"
#include "kit/diagnostics/permission_probe.h"

extern char** environ;

namespace cvl::Permissions {

bool hasAccessibility(bool prompt) {
  // X11 has no consent dialog to show; the answer is the same with or without it.
  (void)prompt;
  return PermissionProbe::inputPostingAvailable();
}

bool hasScreenRecording() { return PermissionProbe::screenReadable(); }

bool requestScreenRecording() { return PermissionProbe::screenReadable(); }

void report(bool openSettingsPanes) {
  bool ax = hasAccessibility(false);
  bool sr = hasScreenRecording();
  Log::line("[perm] Accessibility (input):", ax ? "granted" : "NOT granted");
  Log::line("[perm] Screen Recording (capture):", sr ? "granted" : "NOT granted");
  if (!ax) {
    Log::line("      -> System Settings > Privacy & Security > Accessibility: enable 'cvlhost'.");
  }
  if (!sr) {
    Log::line(
        "      -> System Settings > Privacy & Security > Screen Recording: enable 'cvlhost'.");
    Log::line("      -> The Screen Recording grant only applies after you relaunch cvlhost.");
  }
  if (openSettingsPanes) {
    openSettings(Pane::accessibility);
    openSettings(Pane::screenRecording);
  }
}

std::string settingsURL(Pane pane) {
  std::string url = "x-apple.systempreferences:com.apple.preference.security?";
  url += pane == Pane::accessibility ? "Privacy_Accessibility" : "Privacy_ScreenCapture";
  return url;
}

void openSettings(Pane pane) {
  // A shell puts xdg-open in the background and ends at once, so nothing is left to reap
  // and the caller never waits for the opener.
  std::string url = settingsURL(pane);
  const char* argv[] = {"sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 </dev/null &", "sh",
                        url.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return;
  }
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace cvl::Permissions
