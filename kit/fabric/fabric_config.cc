#include "kit/fabric/fabric_config.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

namespace cvl {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool readString(const json& object, const char* key, std::string* out) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

bool readOptionalString(const json& object, const char* key, std::optional<std::string>* out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    out->reset();
    return true;
  }
  if (!it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

std::optional<std::string> readWholeFile(const std::string& path) {
  std::error_code ec;
  if (path.empty() || fs::is_directory(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return data;
}

std::string homeDir() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

}  // namespace

std::optional<FabricConfig> FabricConfig::decode(std::string_view bytes) {
  json object = json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return std::nullopt;
  FabricConfig config;
  if (!readString(object, "deviceId", &config.deviceId) ||
      !readString(object, "deviceToken", &config.deviceToken) ||
      !readString(object, "relayUrl", &config.relayUrl) ||
      !readOptionalString(object, "brokerUrl", &config.brokerUrl) ||
      !readOptionalString(object, "accountId", &config.accountId)) {
    return std::nullopt;
  }
  return config;
}

std::string FabricConfig::encode() const {
  // ordered_json keeps the field order.
  nlohmann::ordered_json object;
  object["deviceId"] = deviceId;
  object["deviceToken"] = deviceToken;
  object["relayUrl"] = relayUrl;
  if (brokerUrl) object["brokerUrl"] = *brokerUrl;
  if (accountId) object["accountId"] = *accountId;
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

namespace FabricConfigLoader {

std::string defaultConfigDir() {
  fs::path base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    base = fs::path(homeDir()) / ".config";
  }
  std::string dir = (base / "Corvello").lexically_normal().string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

LookupContext LookupContext::current() {
  LookupContext context;
  if (const char* variable = std::getenv("FABRIC_CONFIG")) context.fabricConfigVariable = variable;
  context.configDir = defaultConfigDir();
  context.executablePath = program_invocation_name ? program_invocation_name : "";
  std::error_code ec;
  context.workingDir = fs::current_path(ec).string();
  return context;
}

std::vector<std::string> candidatePaths(const LookupContext& context) {
  std::vector<std::string> paths;
  if (context.fabricConfigVariable) paths.push_back(*context.fabricConfigVariable);
  paths.push_back((fs::path(context.configDir) / "fabric.json").string());

  fs::path executable = context.executablePath.empty() ? fs::path(context.workingDir)
                                                       : fs::path(context.executablePath);
  if (executable.is_relative()) executable = fs::path(context.workingDir) / executable;
  executable = executable.lexically_normal();
  fs::path folder = executable.parent_path();
  paths.push_back((folder.parent_path() / "fabric.json").string());
  paths.push_back((folder / "fabric.json").string());
  paths.push_back(context.workingDir + "/fabric.json");
  return paths;
}

std::optional<Found> find(const LookupContext& context) {
  for (const std::string& path : candidatePaths(context)) {
    std::optional<std::string> data = readWholeFile(path);
    if (!data) continue;
    if (auto config = FabricConfig::decode(stripBOM(*data))) return Found{path, *config};
  }
  return std::nullopt;
}

std::optional<Found> find() { return find(LookupContext::current()); }

bool isComplete(const FabricConfig& config) {
  return !config.deviceId.empty() && !config.deviceToken.empty() && !config.relayUrl.empty();
}

std::string_view stripBOM(std::string_view data) {
  if (data.size() >= 3 && data.substr(0, 3) == "\xEF\xBB\xBF") data.remove_prefix(3);
  return data;
}

bool writeFile(const std::string& folder, const json& object) {
  std::error_code ec;
  fs::create_directories(folder, ec);  // a failure shows when the file is opened
  std::string path = (fs::path(folder) / "fabric.json").string();
  // nlohmann objects keep their keys sorted; text that is not valid UTF-8 is replaced
  // rather than failing the whole write.
  std::string text = object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";

  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // An existing file keeps its old mode through O_CREAT; tighten it before the secret lands.
  ::fchmod(fd, 0600);
  const char* data = text.data();
  size_t left = text.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace FabricConfigLoader

}  // namespace cvl
