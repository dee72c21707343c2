#include "kit/broker/registration.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>

#include "kit/base/url_encoding.h"
#include "kit/broker/broker_transport.h"
#include "kit/broker/console.h"
#include "kit/broker/service_urls.h"
#include "kit/broker/url_opener.h"
#include "kit/fabric/fabric_config.h"

namespace cvl::Registration {

namespace {

const std::string RULE = "  " + std::string(64, '=');

struct Login {
  std::string token;
  std::string accountId;
  std::string email;
};

struct Reg {
  std::string deviceId;
  std::string deviceToken;
  std::string otpauth;
};

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

void say(const std::string& line) { Console::write(line + "\n"); }

std::string trim(const std::string& text) {
  static constexpr const char* SPACE = " \t\r\n\v\f";
  size_t begin = text.find_first_not_of(SPACE);
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(SPACE);
  return text.substr(begin, end - begin + 1);
}

// Text from the broker goes to the user's terminal: control characters (C0, DEL and the
// UTF-8 encoded C1 range) are dropped so that an answer cannot drive the terminal.
std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) continue;
    if (c == 0xC2 && i + 1 < text.size()) {
      auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        ++i;
        continue;
      }
    }
    out += static_cast<char>(c);
  }
  return out;
}

std::string ask(const std::string& prompt, const std::string& fallback = "") {
  Console::write("  " + prompt + (fallback.empty() ? ": " : " [" + fallback + "]: "));
  std::optional<std::string> line = Console::readLine();
  std::string answer = line ? trim(*line) : "";
  return answer.empty() ? fallback : answer;
}

std::string readPassword() {
  if (auto typed = Console::readSecret("Password: ")) return *typed;
  return ask("Password");
}

BrokerAnswer post(const std::string& url, const nlohmann::json& body,
                  const std::optional<std::string>& bearer = std::nullopt) {
  return BrokerTransport::postAndWait(url, body, bearer);
}

std::optional<Login> authenticatorCode(const std::string& broker, const std::string& email,
                                       const std::string& pending) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string code = ask("6-digit code from your account's authenticator");
    BrokerAnswer answer = post(url::join(broker, "/login/totp"),
                               {{"email", email}, {"pending", pending}, {"code", code}});
    auto token = answer.string("token");
    if (answer.status == HttpStatus::OK && token) {
      return Login{*token, answer.string("accountId").value_or(""), email};
    }
    say("  [!] That code was not accepted.");
  }
  return std::nullopt;
}

std::optional<Login> signIn(const std::string& broker) {
  const std::optional<std::string> fixedEmail = env("CVL_EMAIL");
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string email = fixedEmail ? *fixedEmail : ask("Email");
    std::optional<std::string> fixedPassword = env("CVL_PASSWORD");
    std::string password = fixedPassword ? *fixedPassword : readPassword();
    if (email.empty() || password.empty()) {
      say("  [!] Email and password are required.");
    } else {
      say("  Signing in…");
      BrokerAnswer answer =
          post(url::join(broker, "/login"), {{"email", email}, {"password", password}});
      auto pending = answer.string("pending");
      if (answer.status == HttpStatus::UNAUTHORIZED) {
        say("  [!] Email or password not accepted.");
      } else if (answer.status == HttpStatus::TOO_MANY_REQUESTS) {
        say("  [!] Account temporarily locked (too many attempts).");
        return std::nullopt;
      } else if (auto token = answer.string("token")) {
        // The broker's spelling of the address when it sends one, else the one used here.
        return Login{*token, answer.string("accountId").value_or(""),
                     answer.string("email").value_or(email)};
      } else if (answer.isTrue("need2fa") && pending) {
        return authenticatorCode(broker, email, *pending);
      } else {
        say("  [!] Unexpected sign-in response.");
      }
    }
    if (fixedEmail) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<Reg> registerDevice(const std::string& broker, const Login& login,
                                  const std::string& name) {
  nlohmann::json body = {{"name", name},
                         {"platform", "macos"},
                         {"capabilities", {"screen", "input", "clipboard"}}};
  std::string account = url::percentEncode(login.accountId, url::QUERY_VALUE_ALLOWED);
  BrokerAnswer answer =
      post(url::join(broker, "/device/register?account=" + account), body, login.token);
  auto deviceToken = answer.string("deviceToken");
  if (answer.status == HttpStatus::OK && deviceToken) {
    return Reg{answer.string("deviceId").value_or(""), *deviceToken,
               answer.nestedString("deviceAuth", "otpauth").value_or("")};
  }
  if (auto error = answer.string("error")) say("  [!] " + printable(*error));
  return std::nullopt;
}

std::string websiteHost() {
  std::string site = websiteUrl();
  size_t scheme = site.find("://");
  return scheme == std::string::npos ? site : site.substr(scheme + 3);
}

void showDeviceQr(const std::string& otpauth) {
  // The URI travels only in the fragment, which the browser never sends to the web site.
  std::string page =
      websiteUrl() + "/qr.html#" + url::percentEncode(otpauth, url::ALPHANUMERIC_ONLY);
  say("");
  say(RULE);
  say("   SET UP THIS COMPUTER'S AUTHENTICATOR");
  say("   A page with a QR code is opening in your browser. Scan it with an");
  say("   authenticator app (Google Authenticator, Authy, 1Password…).");
  say("   If it doesn't open, go to " + websiteHost() + "/qr.html and paste:");
  say("     " + printable(otpauth));
  say(RULE);
  if (env("CVL_QR_NO_OPEN").value_or("") != "1") UrlOpener::open(page);
}

bool confirmAuthenticator(const std::string& broker, const Login& login,
                          const std::string& deviceId) {
  say("");
  say("   Now confirm it worked: type the 6-digit code your authenticator app");
  say("   shows for this computer (or press Return to skip).");
  std::string account = url::percentEncode(login.accountId, url::QUERY_ALLOWED);
  for (int attempt = 0; attempt < 6; ++attempt) {
    Console::write("   Code: ");
    std::optional<std::string> line = Console::readLine();
    std::string code = line ? trim(*line) : "";
    if (code.empty()) return false;
    BrokerAnswer answer = post(url::join(broker, "/device/verify-code?account=" + account),
                               {{"deviceId", deviceId}, {"code", code}}, login.token);
    if (answer.isTrue("ok")) {
      say("   [ok] Confirmed - your authenticator is set up correctly.");
      return true;
    }
    say("   [!] That code didn't match. Make sure you scanned THIS computer's QR, then try again.");
  }
  return false;
}

bool alreadyRegistered(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto config = FabricConfig::decode(FabricConfigLoader::stripBOM(data));
  return config && !config->deviceToken.empty();
}

}  // namespace

bool run(const std::string& installDir) {
  const std::string path = installDir + "/fabric.json";
  if (alreadyRegistered(path)) {
    say("  [ok] This computer is already registered (fabric.json present) — leaving it as is.");
    return true;
  }
  const std::string broker = env("CVL_BROKER_URL").value_or(StandardBrokerURL);
  const std::string relay = env("CVL_RELAY_URL").value_or(StandardRelayURL);

  std::optional<Login> login = signIn(broker);
  if (!login) {
    say("  [!] Could not sign in. Re-run `cvlhost register` to try again.");
    return false;
  }
  say("  [ok] Signed in as " + printable(login->email));

  std::string name = env("CVL_DEVICE_NAME").value_or("");
  if (name.empty()) name = ask("A name for this computer", Console::hostName());
  say("  Registering '" + name + "' with the broker…");

  std::optional<Reg> reg = registerDevice(broker, *login, name);
  if (!reg) {
    say("  [!] Could not register this computer. Re-run `cvlhost register` to try again.");
    return false;
  }
  say("  [ok] Registered. This computer's id is " + printable(reg->deviceId) + ".");

  showDeviceQr(reg->otpauth);
  if (!confirmAuthenticator(broker, *login, reg->deviceId)) {
    say("  [!] Authenticator not confirmed. You can still finish, but if you can't");
    say("      connect later, re-run register and scan the QR into your app.");
  }

  nlohmann::json config = {{"deviceId", reg->deviceId},
                           {"deviceToken", reg->deviceToken},
                           {"relayUrl", relay},
                           {"brokerUrl", broker},
                           {"accountId", login->accountId}};
  if (!FabricConfigLoader::writeFile(installDir, config)) {
    say("  [!] Registered, but writing fabric.json failed. The token is issued ONCE and");
    say("      cannot be recovered — remove this device in the app and re-register.");
    return false;
  }
  say("  [ok] Saved this computer's cloud config to " + path);
  say("");
  say(RULE);
  say("   This computer (" + name + ") is registered.");
  say("   Sign in at " + websiteUrl() + ", pick " + name + ", and enter its");
  say("   authenticator code to connect.");
  say(RULE);
  return true;
}

}  // namespace cvl::Registration
