#include "tests/support/relay_process.h"

#include <csignal>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "kit/base/url_encoding.h"

namespace cvl::test {

std::string urlEncode(const std::string& text) {
  // RFC 3986's unreserved characters stay; everything else is escaped.
  return url::percentEncode(text, "-._~");
}

RelayProcess::RelayProcess(RelayOptions options) : options_(std::move(options)) {
  nlohmann::json devices = nlohmann::json::array();
  for (const auto& device : options_.devices) {
    nlohmann::json viewers = nlohmann::json::array();
    for (const auto& viewer : device.viewers) {
      viewers.push_back({{"token", viewer.token}, {"roles", viewer.roles}});
    }
    devices.push_back(
        {{"deviceId", device.deviceId}, {"token", device.token}, {"viewers", viewers}});
  }
  nlohmann::json config = {{"devices", devices}, {"firstClientId", options_.firstClientId}};
  if (options_.tlsCert) {
    config["tls"] = {{"cert", *options_.tlsCert}, {"key", *options_.tlsKey}};
  }
  dir_.write("relay.json", config.dump(2));
  start(options_.port);
}

RelayProcess::~RelayProcess() {
  if (child_ && child_->running()) {
    child_->signal(SIGTERM);
    if (!child_->wait(std::chrono::seconds(5))) child_->signal(SIGKILL);
  }
}

void RelayProcess::start(uint16_t port) {
  port_ = 0;
  child_ = std::make_unique<ChildProcess>(
      builtProgram("cvlrelay"),
      ChildOptions{{"--config", dir_.file("relay.json"), "--port", std::to_string(port)}});
  const std::string marker = "cvlrelay listening on ";
  if (!child_->waitForOut("\n", std::chrono::seconds(10))) {
    ADD_FAILURE() << "cvlrelay did not start: " << child_->err();
    return;
  }
  std::string out = child_->out();
  auto at = out.find(marker);
  auto colon = out.rfind(':', out.find('\n', at));
  if (at == std::string::npos || colon == std::string::npos) {
    ADD_FAILURE() << "unexpected cvlrelay output: " << out;
    return;
  }
  port_ = static_cast<uint16_t>(std::stoi(out.substr(colon + 1)));
}

std::string RelayProcess::baseUrl() const {
  return std::string(options_.tlsCert ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port_);
}

std::string RelayProcess::hostUrl(const std::string& deviceId, const std::string& token) const {
  return baseUrl() + "/host?deviceId=" + urlEncode(deviceId) + "&token=" + urlEncode(token);
}

std::string RelayProcess::viewerUrl(const std::string& deviceId, const std::string& token,
                                    const std::optional<std::string>& role) const {
  std::string url =
      baseUrl() + "/view?deviceId=" + urlEncode(deviceId) + "&token=" + urlEncode(token);
  if (role) url += "&role=" + urlEncode(*role);
  return url;
}

bool RelayProcess::waitForLog(const std::string& needle, std::chrono::milliseconds timeout) {
  return child_->waitForErr(needle, timeout);
}

void RelayProcess::kill() {
  if (!child_) return;
  child_->signal(SIGKILL);
  child_->wait(std::chrono::seconds(5));
}

void RelayProcess::restart() {
  uint16_t port = port_;
  kill();
  start(port);
}

}  // namespace cvl::test
