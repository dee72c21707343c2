#include "kit/broker/registration_service.h"

#include <cstdlib>

#include "kit/base/url_encoding.h"
#include "kit/broker/broker_transport.h"
#include "kit/broker/service_urls.h"
#include "kit/fabric/fabric_config.h"

namespace cvl::RegistrationService {

namespace {

std::string envOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : std::string(fallback);
}

std::string accountQuery(const std::string& accountId) {
  return url::percentEncode(accountId, url::QUERY_VALUE_ALLOWED);
}

}  // namespace

std::string brokerUrl() { return envOr("CVL_BROKER_URL", StandardBrokerURL); }
std::string relayUrl() { return envOr("CVL_RELAY_URL", StandardRelayURL); }

LoginResult readLogin(const BrokerAnswer& answer, const std::string& email) {
  LoginResult result;
  result.email = email;
  if (answer.status == HttpStatus::TOO_MANY_REQUESTS) {
    result.error = "Account temporarily locked — too many attempts. Wait a bit.";
  } else if (answer.status == HttpStatus::UNAUTHORIZED) {
    result.error = "Email or password not accepted.";
  } else if (auto token = answer.string("token")) {
    result.token = std::move(token);
    result.accountId = answer.string("accountId").value_or("");
    result.email = answer.string("email").value_or(email);
  } else if (auto pending = answer.string("pending"); pending && answer.isTrue("need2fa")) {
    result.need2fa = true;
    result.pending = std::move(pending);
  } else if (answer.status == 0) {
    result.error = "Could not reach the server. Check your connection.";
  } else {
    result.error = "Unexpected sign-in response.";
  }
  return result;
}

LoginResult readLoginTotp(const BrokerAnswer& answer, const std::string& email,
                          const std::string& pending) {
  LoginResult result;
  result.email = email;
  auto token = answer.string("token");
  if (answer.status == HttpStatus::OK && token) {
    result.token = std::move(token);
    result.accountId = answer.string("accountId").value_or("");
    return result;
  }
  result.need2fa = true;
  result.pending = pending;
  result.error = "That code was not accepted.";
  return result;
}

DeviceResult readDevice(const BrokerAnswer& answer) {
  DeviceResult result;
  auto deviceToken = answer.string("deviceToken");
  if (answer.status == HttpStatus::OK && deviceToken) {
    result.deviceToken = std::move(*deviceToken);
    result.deviceId = answer.string("deviceId").value_or("");
    result.otpauth = answer.nestedString("deviceAuth", "otpauth").value_or("");
    return result;
  }
  result.error = answer.string("error").value_or("Could not register this computer.");
  return result;
}

bool readVerified(const BrokerAnswer& answer) { return answer.isTrue("ok"); }

void login(const std::string& email, const std::string& password,
           std::function<void(LoginResult)> completion) {
  BrokerTransport::post(url::join(brokerUrl(), "/login"),
                        {{"email", email}, {"password", password}}, std::nullopt,
                        [email, completion = std::move(completion)](BrokerAnswer answer) {
                          completion(readLogin(answer, email));
                        });
}

void loginTotp(const std::string& email, const std::string& pending, const std::string& code,
               std::function<void(LoginResult)> completion) {
  BrokerTransport::post(url::join(brokerUrl(), "/login/totp"),
                        {{"email", email}, {"pending", pending}, {"code", code}}, std::nullopt,
                        [email, pending, completion = std::move(completion)](BrokerAnswer answer) {
                          completion(readLoginTotp(answer, email, pending));
                        });
}

void registerDevice(const std::string& token, const std::string& accountId,
                    const std::string& name, std::function<void(DeviceResult)> completion) {
  nlohmann::json body = {{"name", name},
                         {"platform", "macos"},
                         {"capabilities", {"screen", "input", "clipboard"}}};
  BrokerTransport::post(
      url::join(brokerUrl(), "/device/register?account=" + accountQuery(accountId)), body, token,
      [completion = std::move(completion)](BrokerAnswer answer) {
        completion(readDevice(answer));
      });
}

void verifyCode(const std::string& token, const std::string& accountId,
                const std::string& deviceId, const std::string& code,
                std::function<void(bool)> completion) {
  BrokerTransport::post(
      url::join(brokerUrl(), "/device/verify-code?account=" + accountQuery(accountId)),
      {{"deviceId", deviceId}, {"code", code}}, token,
      [completion = std::move(completion)](BrokerAnswer answer) {
        completion(readVerified(answer));
      });
}

bool writeFabric(const std::string& configDir, const DeviceResult& device,
                 const std::string& accountId, const std::string& name) {
  nlohmann::json object = {{"deviceId", device.deviceId},
                           {"deviceToken", device.deviceToken},
                           {"relayUrl", relayUrl()},
                           {"brokerUrl", brokerUrl()},
                           {"accountId", accountId}};
  if (!name.empty()) object["name"] = name;
  return FabricConfigLoader::writeFile(configDir, object);
}

}  // namespace cvl::RegistrationService
