#pragma once
// The device's relay identity as kept in fabric.json, and where that file is looked up.
//
// fabric.json is one UTF-8 JSON object (a leading byte-order mark is allowed):
//   { "deviceId": "...", "deviceToken": "...", "relayUrl": "wss://...",
//     "brokerUrl": "https://..." | null, "accountId": "..." | null, ...other keys ignored }
// The token is a secret: it is never logged.

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cvl {

struct FabricConfig {
  std::string deviceId;
  std::string deviceToken;
  std::string relayUrl;
  std::optional<std::string> brokerUrl;
  std::optional<std::string> accountId;

  // Strict decoding: the three required keys must be strings; the optional ones may be
  // missing or null, otherwise strings. Absent when the bytes are not such an object.
  static std::optional<FabricConfig> decode(std::string_view json);
  // The keys in field order; the optional ones only when present.
  std::string encode() const;

  bool operator==(const FabricConfig&) const = default;
};

namespace FabricConfigLoader {

// Where the lookup searches, taken from the process by default.
struct LookupContext {
  std::optional<std::string> fabricConfigVariable;  // $FABRIC_CONFIG, when set
  std::string configDir;                             // defaultConfigDir()
  std::string executablePath;                        // the invocation path, as typed
  std::string workingDir;

  static LookupContext current();
};

struct Found {
  std::string path;
  FabricConfig config;
};

// The configuration folder: $XDG_CONFIG_HOME/Corvello when that is an absolute path, else
// ~/.config/Corvello (the home from the password database when $HOME is unset). No trailing
// slash; the folder is not created.
std::string defaultConfigDir();

// The candidate files in the order they are tried.
std::vector<std::string> candidatePaths(const LookupContext& context);
// The first candidate that reads and decodes; silent about every failure.
std::optional<Found> find(const LookupContext& context);
std::optional<Found> find();

// True when deviceId, deviceToken and relayUrl are all non-empty.
bool isComplete(const FabricConfig& config);

// Skips a leading EF BB BF.
std::string_view stripBOM(std::string_view data);

// Writes `object` as fabric.json into `folder`: the folder is created when missing, the
// JSON is pretty-printed with sorted keys, and the file is created with mode 0600 (and set
// to 0600 when it already existed) before any byte is written. False when it could not be
// written completely.
bool writeFile(const std::string& folder, const nlohmann::json& object);

}  // namespace FabricConfigLoader

}  // namespace cvl
