#include "host/run_command.h"

#include <unistd.h>

#include "kit/diagnostics/log.h"
#include "kit/diagnostics/permissions.h"
#include "kit/fabric/fabric_config.h"

namespace cvl::host {

namespace {

// Parks the main thread for good; the process ends by a signal.
[[noreturn]] void stayAlive() {
  for (;;) pause();
}

}  // namespace

int runHost() {
  Log::line("[cvlhost] starting");
  Permissions::report(false);
  if (!Permissions::hasAccessibility(true)) {
    Log::line(
        "[cvlhost] Accessibility not granted \u2014 input injection will be silently dropped "
        "until it is.");
  }
  if (!Permissions::hasScreenRecording()) {
    Log::line(
        "[cvlhost] Screen Recording not granted \u2014 requesting; grant it, then relaunch "
        "cvlhost.");
    Permissions::requestScreenRecording();
  }

  auto found = FabricConfigLoader::find();
  if (!found) {
    Log::line("[cvlhost] no fabric.json \u2014 run `cvlhost register` first. Staying idle.");
    stayAlive();
  }
  Log::line("[cvlhost] joining the fabric as", found->config.deviceId, "via",
            found->config.relayUrl);
  stayAlive();
}

}  // namespace cvl::host
