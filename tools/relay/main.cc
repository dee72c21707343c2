// cvlrelay: a small relay for Corvello hosts and viewers. See README.md, "The reference relay".
#include <csignal>
#include <iostream>
#include <stdexcept>
#include <string>

#include "kit/diagnostics/log.h"
#include "tools/relay/relay_config.h"
#include "tools/relay/relay_server.h"
#include "tools/relay/viewer_page.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  // The hash of the web viewer served at "/", to check a page against this relay's copy.
  if (argc == 2 && std::string(argv[1]) == "--viewer-sha256") {
    std::cout << cvl::relay::viewerPageSha256() << std::endl;
    return 0;
  }
  cvl::relay::RelayConfig config;
  try {
    config = cvl::relay::parseRelayArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "cvlrelay: " << e.what() << "\n" << cvl::relay::RELAY_USAGE;
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
    cvl::Log::line("cvlrelay:", e.what());
    return 1;
  }
  return 0;
}
