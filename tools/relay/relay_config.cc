#include "tools/relay/relay_config.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace cvl::relay {

const char* const RELAY_USAGE =
    "usage: cvlrelay [--config FILE] [--listen ADDRESS] [--port N]\n"
    "                [--device DEVICE_ID:TOKEN]... [--viewer DEVICE_ID:TOKEN[:ROLE,ROLE...]]...\n"
    "                [--tls-cert FILE --tls-key FILE] [--first-client-id N]\n"
    "       cvlrelay --viewer-sha256   (the SHA-256 of the web viewer it serves at /)\n";

bool ViewerCredential::allows(const std::string& role) const {
  return std::any_of(roles.begin(), roles.end(),
                     [&](const std::string& r) { return r == "*" || r == role; });
}

std::string ViewerCredential::defaultRole() const {
  for (const auto& r : roles) {
    if (r != "*") return r;
  }
  return "viewer";
}

namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

uint64_t parseNumber(const std::string& text, uint64_t max, const std::string& what) {
  if (text.empty() || text.size() > 10 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    fail("bad " + what + ": " + text);
  }
  uint64_t value = std::stoull(text);
  if (value > max) fail("bad " + what + ": " + text);
  return value;
}

std::string requireString(const nlohmann::json& object, const char* key,
                          const std::string& where) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string() || it->get<std::string>().empty()) {
    fail(where + ": \"" + key + "\" must be a non-empty string");
  }
  return it->get<std::string>();
}

std::vector<std::string> splitRoles(const std::string& text) {
  std::vector<std::string> roles;
  std::stringstream in(text);
  std::string role;
  while (std::getline(in, role, ',')) {
    if (!role.empty()) roles.push_back(role);
  }
  if (roles.empty()) roles.push_back("*");
  return roles;
}

void loadFile(const std::string& path, RelayConfig& config) {
  std::ifstream in(path);
  if (!in) fail("cannot read " + path);
  nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
  if (!doc.is_object()) fail(path + ": not a JSON object");
  if (auto it = doc.find("listen"); it != doc.end()) {
    if (!it->is_string()) fail(path + ": \"listen\" must be a string");
    config.listen = it->get<std::string>();
  }
  if (auto it = doc.find("port"); it != doc.end()) {
    if (!it->is_number_unsigned() || it->get<uint64_t>() > 65535) {
      fail(path + ": \"port\" must be 0 to 65535");
    }
    config.port = static_cast<uint16_t>(it->get<uint64_t>());
  }
  if (auto it = doc.find("firstClientId"); it != doc.end()) {
    if (!it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX ||
        it->get<uint64_t>() == 0) {
      fail(path + ": \"firstClientId\" must be 1 to 4294967295");
    }
    config.firstClientId = static_cast<uint32_t>(it->get<uint64_t>());
  }
  if (auto it = doc.find("tls"); it != doc.end()) {
    if (!it->is_object()) fail(path + ": \"tls\" must be an object");
    config.tlsCert = requireString(*it, "cert", path + ": tls");
    config.tlsKey = requireString(*it, "key", path + ": tls");
  }
  if (auto it = doc.find("devices"); it != doc.end()) {
    if (!it->is_array()) fail(path + ": \"devices\" must be a list");
    for (const auto& entry : *it) {
      if (!entry.is_object()) fail(path + ": every device must be an object");
      DeviceEntry device;
      device.deviceId = requireString(entry, "deviceId", path + ": device");
      device.token = requireString(entry, "token", path + ": device " + device.deviceId);
      if (auto v = entry.find("viewers"); v != entry.end()) {
        if (!v->is_array()) fail(path + ": \"viewers\" must be a list");
        for (const auto& viewer : *v) {
          if (!viewer.is_object()) fail(path + ": every viewer must be an object");
          ViewerCredential credential;
          credential.token = requireString(viewer, "token", path + ": viewer");
          if (auto r = viewer.find("roles"); r != viewer.end()) {
            if (!r->is_array() || r->empty()) fail(path + ": \"roles\" must be a list");
            credential.roles.clear();
            for (const auto& role : *r) {
              if (!role.is_string()) fail(path + ": every role must be a string");
              credential.roles.push_back(role.get<std::string>());
            }
          }
          device.viewers.push_back(std::move(credential));
        }
      }
      config.devices[device.deviceId] = std::move(device);
    }
  }
}

}  // namespace

RelayConfig parseRelayArguments(const std::vector<std::string>& args) {
  RelayConfig config;
  // The file first, so that flags given before or after --config override it alike.
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--config") loadFile(args[i + 1], config);
  }
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) fail(flag + " needs a value");
      return args[++i];
    };
    if (flag == "--config") {
      value();
    } else if (flag == "--listen") {
      config.listen = value();
    } else if (flag == "--port") {
      config.port = static_cast<uint16_t>(parseNumber(value(), 65535, "port"));
    } else if (flag == "--first-client-id") {
      uint64_t id = parseNumber(value(), UINT32_MAX, "client id");
      if (id == 0) fail("bad client id: 0");
      config.firstClientId = static_cast<uint32_t>(id);
    } else if (flag == "--tls-cert") {
      config.tlsCert = value();
    } else if (flag == "--tls-key") {
      config.tlsKey = value();
    } else if (flag == "--device") {
      const std::string& entry = value();
      auto colon = entry.find(':');
      if (colon == std::string::npos || colon == 0 || colon + 1 == entry.size()) {
        fail("--device wants DEVICE_ID:TOKEN");
      }
      std::string id = entry.substr(0, colon);
      auto& device = config.devices[id];
      device.deviceId = id;
      device.token = entry.substr(colon + 1);
    } else if (flag == "--viewer") {
      const std::string& entry = value();
      auto first = entry.find(':');
      if (first == std::string::npos || first == 0) {
        fail("--viewer wants DEVICE_ID:TOKEN[:ROLES]");
      }
      std::string id = entry.substr(0, first);
      std::string rest = entry.substr(first + 1);
      ViewerCredential credential;
      auto second = rest.find(':');
      credential.token = rest.substr(0, second);
      if (second != std::string::npos) credential.roles = splitRoles(rest.substr(second + 1));
      if (credential.token.empty()) fail("--viewer wants DEVICE_ID:TOKEN[:ROLES]");
      auto it = config.devices.find(id);
      if (it == config.devices.end()) fail("--viewer for unknown device " + id);
      it->second.viewers.push_back(std::move(credential));
    } else if (flag == "--help" || flag == "-h") {
      fail(RELAY_USAGE);
    } else {
      fail("unknown argument " + flag);
    }
  }
  if (config.tlsCert.has_value() != config.tlsKey.has_value()) {
    fail("--tls-cert and --tls-key go together");
  }
  return config;
}

}  // namespace cvl::relay
