// The platform-neutral half of HostControl: reading fabric.json, reading the host's
// permission report, the privileged command line and the installer download.
#include "manager/host_control.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "kit/broker/http_client.h"
#include "kit/broker/service_urls.h"
#include "kit/broker/url_opener.h"
#include "kit/fabric/fabric_config.h"
#include "manager/linux/process_runner.h"

namespace cvl::HostControl {

namespace {

// The configuration file as a JSON object; absent when it cannot be read or is no object.
std::optional<nlohmann::json> readConfigObject() {
  std::ifstream in(configFile(), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return std::nullopt;
  auto parsed = nlohmann::json::parse(buffer.str(), nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

std::optional<std::string> nonEmptyString(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  std::string value = it->get<std::string>();
  if (value.empty()) return std::nullopt;
  return value;
}

bool isExecutableFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

bool booleanMember(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

std::string configFile() { return FabricConfigLoader::defaultConfigDir() + "/fabric.json"; }

std::string websiteUrl() { return cvl::websiteUrl(); }

std::string installerUrl() { return websiteUrl() + "/download/corvello-host-linux-amd64.deb"; }

std::string installerDestination() {
  std::error_code error;
  std::string folder = std::filesystem::temp_directory_path(error).string();
  if (error || folder.empty()) folder = "/tmp";
  if (folder.back() != '/') folder += '/';
  return folder + INSTALLER_FILE_NAME;
}

bool isRegistered() {
  auto object = readConfigObject();
  return object && nonEmptyString(*object, "deviceToken").has_value();
}

std::optional<std::string> registeredName() {
  auto object = readConfigObject();
  if (!object) return std::nullopt;
  if (auto name = nonEmptyString(*object, "name")) return name;
  return nonEmptyString(*object, "deviceId");
}

Grants hostGrants() {
  std::string host = hostExecutable();
  if (!isExecutableFile(host)) return {};
  std::string out = ProcessRunner::runCapture(host, {"check-json"}, CHECK_JSON_TIMEOUT);
  auto parsed = nlohmann::json::parse(out, nullptr, false);
  Grants grants;
  grants.hostPresent = true;
  if (!parsed.is_discarded() && parsed.is_object()) {
    grants.accessibility = booleanMember(parsed, "accessibility");
    grants.screenRecording = booleanMember(parsed, "screenRecording");
  }
  return grants;
}

void downloadAndRunInstaller(std::function<void(bool, std::string)> completion) {
  std::string url = installerUrl();
  if (!HttpClient::isValidUrl(url)) {
    completion(false, "bad installer URL");
    return;
  }
  std::string destination = installerDestination();
  // The answer streams into a private file beside the destination; only a complete 200
  // answer replaces the destination, so a failed update never leaves a broken installer.
  std::string partial = destination + ".XXXXXX";
  int fd = ::mkstemp(partial.data());
  if (fd < 0) {
    completion(false, "cannot write " + partial + ": " + std::strerror(errno));
    return;
  }
  ::close(fd);

  HttpRequest request;
  request.url = url;
  request.method = "GET";
  request.headers = {{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}};
  request.timeout = DOWNLOAD_TIMEOUT;
  request.maxAnswerBytes = std::size_t{1} << 30;
  request.saveTo = partial;
  HttpClient::shared().send(std::move(request), [completion = std::move(completion), partial,
                                                 destination](HttpResponse response) {
    std::error_code ignored;
    if (!response.error.empty()) {
      std::filesystem::remove(partial, ignored);
      completion(false, response.error);
      return;
    }
    if (response.status != 200) {
      std::filesystem::remove(partial, ignored);
      completion(false, "download failed (HTTP " + std::to_string(response.status) + ")");
      return;
    }
    std::filesystem::remove(destination, ignored);
    std::error_code moved;
    std::filesystem::rename(partial, destination, moved);
    if (moved) {
      std::filesystem::remove(partial, ignored);
      completion(false, moved.message());
      return;
    }
    // The desktop's software installer takes it from here; nothing waits for it.
    UrlOpener::open(destination);
    completion(true, "");
  });
}

}  // namespace cvl::HostControl
