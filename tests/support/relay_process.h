#pragma once
// cvlrelay as a child process of a test: writes its configuration into a private folder,
// starts it on an ephemeral port (or a given one), reads the port from its "listening" line,
// and can kill and restart it on the same port. Owned by the test; one thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace cvl::test {

struct RelayViewerLogin {
  std::string token;
  std::vector<std::string> roles{"*"};  // "*": any role
};

struct RelayDevice {
  std::string deviceId;
  std::string token;
  std::vector<RelayViewerLogin> viewers;
};

struct RelayOptions {
  std::vector<RelayDevice> devices;
  std::optional<std::string> tlsCert;  // PEM files; both or neither
  std::optional<std::string> tlsKey;
  uint32_t firstClientId = 1;
  uint16_t port = 0;
};

class RelayProcess {
 public:
  // Starts the relay and waits for it to listen; a failure is reported with ADD_FAILURE
  // and leaves port() at 0.
  explicit RelayProcess(RelayOptions options);
  ~RelayProcess();

  uint16_t port() const { return port_; }
  // "ws://127.0.0.1:PORT", or "wss://..." with TLS.
  std::string baseUrl() const;
  std::string hostUrl(const std::string& deviceId, const std::string& token) const;
  std::string viewerUrl(const std::string& deviceId, const std::string& token,
                        const std::optional<std::string>& role = std::nullopt) const;

  ChildProcess& process() { return *child_; }
  // Waits for a line of the relay's log (stderr).
  bool waitForLog(const std::string& needle,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // SIGKILL, then start again on the same port.
  void kill();
  void restart();

 private:
  void start(uint16_t port);

  RelayOptions options_;
  TempDir dir_;
  std::unique_ptr<ChildProcess> child_;
  uint16_t port_ = 0;
};

// Percent-encodes everything but unreserved characters, for building test URLs.
std::string urlEncode(const std::string& text);

}  // namespace cvl::test
