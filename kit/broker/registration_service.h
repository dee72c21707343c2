#pragma once
// The asynchronous client of the account broker used by the manager: sign-in (password, then
// an authenticator code when the account asks for one), device registration, confirmation of
// the device's authenticator code, and writing fabric.json with the issued credentials.
// Stateless: the caller carries the sign-in state between calls. Every network call completes
// exactly once, on the HTTP client's worker thread (at once on the calling thread when the
// broker URL is unusable); nothing throws and nothing is printed. Any thread may call.

#include <functional>
#include <optional>
#include <string>

#include "kit/broker/broker_answer.h"

namespace cvl {

struct LoginResult {
  std::optional<std::string> token;  // the account's bearer token; only on success
  std::string accountId;             // empty unless signed in
  std::string email;
  bool need2fa = false;  // an authenticator code is (still) needed
  std::optional<std::string> pending;  // handle of the half-finished sign-in, for loginTotp
  std::optional<std::string> error;    // message for the user; only on failure
};

struct DeviceResult {
  std::string deviceId;     // empty on failure
  std::string deviceToken;  // issued once; empty on failure
  std::string otpauth;      // the device authenticator's enrolment URI; may be empty
  std::optional<std::string> error;
};

namespace RegistrationService {

// CVL_BROKER_URL / CVL_RELAY_URL when set and not empty, else the built-in addresses.
// Read afresh on every call.
std::string brokerUrl();
std::string relayUrl();

void login(const std::string& email, const std::string& password,
           std::function<void(LoginResult)> completion);
void loginTotp(const std::string& email, const std::string& pending, const std::string& code,
               std::function<void(LoginResult)> completion);
void registerDevice(const std::string& token, const std::string& accountId,
                    const std::string& name, std::function<void(DeviceResult)> completion);
void verifyCode(const std::string& token, const std::string& accountId,
                const std::string& deviceId, const std::string& code,
                std::function<void(bool)> completion);

// Blocking: writes configDir/fabric.json (created with mode 0600) with the device's
// credentials, the relay and broker URLs, the account id and, when not empty, the name.
// False when the file could not be produced or written.
bool writeFabric(const std::string& configDir, const DeviceResult& device,
                 const std::string& accountId, const std::string& name);

// How each answer is read; the network calls above use exactly these.
LoginResult readLogin(const BrokerAnswer& answer, const std::string& email);
LoginResult readLoginTotp(const BrokerAnswer& answer, const std::string& email,
                          const std::string& pending);
DeviceResult readDevice(const BrokerAnswer& answer);
bool readVerified(const BrokerAnswer& answer);

}  // namespace RegistrationService

}  // namespace cvl
