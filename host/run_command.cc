#include "host/run_command.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "kit/diagnostics/log.h"
#include "kit/diagnostics/permissions.h"
#include "kit/capture/host_engine.h"
#include "kit/fabric/fabric_client.h"
#include "kit/fabric/fabric_config.h"
#include "kit/fabric/host_engine_adapter.h"

namespace cvl::host {

namespace {

// Parks the main thread for good; the process ends by a signal.
[[noreturn]] void stayAlive() {
  for (;;) pause();
}

// SIGINT and SIGTERM are blocked in every thread (threads inherit the mask of the thread
// that starts them, so this runs first) and taken by the main thread with
// sigwait: the log line is then written from ordinary code, not from a signal handler.
sigset_t blockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

[[noreturn]] void serveUntilSignalled(const sigset_t& set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0 && (sig == SIGINT || sig == SIGTERM)) {
      Log::line("[cvlhost] shutting down");
      std::_Exit(0);
    }
  }
}

}  // namespace

int runHost() {
  const sigset_t stopSignals = blockStopSignals();
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
    // Idle: the signals keep their default meaning and end the process.
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    stayAlive();
  }
  Log::line("[cvlhost] joining the fabric as", found->config.deviceId, "via",
            found->config.relayUrl);

  auto engine = HostEngine::make(0);
  auto client = FabricClient::make(found->config, fabricEngineFor(engine));
  client->start();
  // Engine and client live until the process ends; it ends from the signal wait, from the
  // client's "replaced" notice, or by being killed.
  serveUntilSignalled(stopSignals);
}

}  // namespace cvl::host
