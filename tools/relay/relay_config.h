#pragma once
// What cvlrelay serves: where it listens, optional TLS, and the devices with their host
// token and viewer credentials. Read once at start from a JSON file and/or flags; immutable
// afterwards (main thread, then the relay's one network thread).
//
// File format:
//   {
//     "listen": "127.0.0.1", "port": 0,
//     "tls": {"cert": "server.crt", "key": "server.key"},
//     "firstClientId": 1,
//     "devices": [
//       {"deviceId": "dev-1", "token": "host-secret",
//        "viewers": [{"token": "owner-secret", "roles": ["owner", "viewer"]}]}
//     ]
//   }

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cvl::relay {

struct ViewerCredential {
  std::string token;
  // Roles this credential may ask for; "*" allows any. The first concrete role is the
  // default when the viewer names none ("viewer" when the list is only "*").
  std::vector<std::string> roles{"*"};

  bool allows(const std::string& role) const;
  std::string defaultRole() const;
};

struct DeviceEntry {
  std::string deviceId;
  std::string token;
  std::vector<ViewerCredential> viewers;
};

struct RelayConfig {
  std::string listen = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  std::optional<std::string> tlsCert;
  std::optional<std::string> tlsKey;
  uint32_t firstClientId = 1;
  std::map<std::string, DeviceEntry> devices;
};

// Parses the command line (argv[1...]); a --config file is read first, flags add to or
// override it. Throws std::runtime_error with a message fit for the user.
RelayConfig parseRelayArguments(const std::vector<std::string>& args);

extern const char* const RELAY_USAGE;

}  // namespace cvl::relay
