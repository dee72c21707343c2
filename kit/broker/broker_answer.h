#pragma once
// What a broker request came back with: the HTTP status (0 when no HTTP answer arrived) and
// the answer's JSON object (absent when there was no body, it was not JSON, or its top level
// was not an object). The bytes come from the network and are untrusted; decoding never
// throws. A plain value; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace cvl {

// The HTTP status codes the enrolment tells apart.
namespace HttpStatus {
inline constexpr int64_t OK = 200;
inline constexpr int64_t UNAUTHORIZED = 401;
inline constexpr int64_t TOO_MANY_REQUESTS = 429;
}  // namespace HttpStatus

struct BrokerAnswer {
  int64_t status = 0;
  std::optional<nlohmann::json> body;

  static BrokerAnswer decode(int64_t status, std::string_view bytes);

  // The body's value under `key` when it is a string; absent otherwise (also without body).
  std::optional<std::string> string(const std::string& key) const;
  // True when the body holds the boolean true under `key` (not the string "true").
  bool isTrue(const std::string& key) const;
  // body[outer][inner] when body[outer] is an object and that value is a string.
  std::optional<std::string> nestedString(const std::string& outer,
                                          const std::string& inner) const;
};

}  // namespace cvl
