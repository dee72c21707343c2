#pragma once
// cvlrelay's network side: listens (ws or wss), authenticates upgrades on "/host" and
// "/view" and connects the accepted sockets to a RelayHub. Runs everything on the calling
// thread inside run().

#include <functional>
#include <memory>

#include "tools/relay/relay_config.h"

namespace cvl::relay {

class RelayServer {
 public:
  explicit RelayServer(RelayConfig config);
  ~RelayServer();

  // Binds and listens; throws std::runtime_error when it cannot. Returns the bound port.
  uint16_t listen();
  // Serves until SIGINT or SIGTERM.
  void run();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace cvl::relay
