#include "host/run_command.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

#include "kit/capture/display_loss.h"
#include "kit/capture/host_engine.h"
#include "kit/diagnostics/log.h"
#include "kit/diagnostics/permissions.h"
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

// Ends the process at once with `status`, without running static destructors while the
// kit's threads still work.
[[noreturn]] void exitNow(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

// Leaving in order on a signal: the line, then everything held is released, capture stops and
// the relay connection closes with 1001 (the client bounds this to a second), then the exit.
[[noreturn]] void serveUntilSignalled(const sigset_t& set, FabricClient& client) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0 && (sig == SIGINT || sig == SIGTERM)) {
      Log::line("[cvlhost] shutting down");
      std::promise<void> left;
      client.leave([&left] { left.set_value(); });
      left.get_future().wait_for(std::chrono::seconds(2));
      exitNow(0);
    }
  }
}

// A lost display cannot come back for this process: say so and end with a failure, so that
// the service manager starts the host again once a session is there.
void displayLost(const std::string& displayName) {
  Log::line("[cvlhost] lost the X display " + displayName + " \u2014 exiting");
  exitNow(1);
}

}  // namespace

int runHost() {
  const sigset_t stopSignals = blockStopSignals();
  Log::line("[cvlhost] starting");
  Permissions::report(false);
  // An X server offers input posting for its whole life, and the host does not outlive its
  // server, so this one answer also serves every viewer's "input-status".
  const bool canInject = Permissions::hasAccessibility(true);
  if (!canInject) {
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

  DisplayLoss::onLost(displayLost);
  DisplayLoss::watch();
  auto engine = HostEngine::make(0);
  FabricClient::Options options;
  // After the "replaced" line the client leaves in order (bounded), then the process ends.
  options.onReplaced = [] { exitNow(0); };
  options.canInject = [canInject] { return canInject; };
  auto client = FabricClient::make(found->config, fabricEngineFor(engine), options);
  client->start();
  // Engine and client live until the process ends; it ends from the signal wait, from the
  // client's "replaced" notice, when the display is lost, or by being killed.
  serveUntilSignalled(stopSignals, *client);
}

}  // namespace cvl::host
