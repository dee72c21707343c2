// Reads arbitrary bytes as a broker answer with an arbitrary status, the way every broker
// call does. Nothing may crash, hang or leak, and the results must keep their invariants.
//
//   input: | status (2 bytes, big-endian; 0xFFFF = 0) | answer body ... |
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kit/broker/broker_answer.h"
#include "kit/broker/registration_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  int64_t status = (data[0] << 8) | data[1];
  if (status == 0xFFFF) status = 0;
  std::string_view body(reinterpret_cast<const char*>(data + 2), size - 2);

  cvl::BrokerAnswer answer = cvl::BrokerAnswer::decode(status, body);
  if (answer.body && !answer.body->is_object()) std::abort();

  namespace rs = cvl::RegistrationService;
  cvl::LoginResult login = rs::readLogin(answer, "me@example.org");
  // Exactly one of: signed in, second factor pending, or an error for the user.
  int outcomes = int(login.token.has_value()) + int(login.need2fa) + int(login.error.has_value());
  if (outcomes != 1 || login.need2fa != login.pending.has_value()) std::abort();

  cvl::LoginResult totp = rs::readLoginTotp(answer, "me@example.org", "p");
  if (totp.token.has_value() == totp.error.has_value()) std::abort();

  cvl::DeviceResult device = rs::readDevice(answer);
  if (device.error.has_value() && !device.deviceToken.empty()) std::abort();

  (void)rs::readVerified(answer);
  (void)answer.nestedString("deviceAuth", "otpauth");
  return 0;
}
