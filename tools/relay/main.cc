// cvlrelay: a small relay for Corvello hosts and viewers. See README.md, "The reference relay".
#include <csignal>
#include <iostream>
#include <stdexcept>

#include "tools/relay/relay_config.h"
#include "tools/relay/relay_server.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  cvl::relay::RelayConfig config;
  try {
    config = cvl::relay::parseRelayArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "cvlrelay: " << e.what() << "\n" << cvl::relay::kRelayUsage;
    return 2;
  }
  try {
    bool tls = config.tlsCert.has_value();
    std::string listen = config.listen;
    cvl::relay::RelayServer server(std::move(config));
    uint16_t port = server.listen();
    std::string host = listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
    // Tests and scripts read the port from this line.
    std::cout << "cvlrelay listening on " << (tls ? "wss://" : "ws://") << host << ":" << port
              << std::endl;
    server.run();
  } catch (const std::exception& e) {
    std::cerr << "cvlrelay: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
