#include "kit/broker/broker_answer.h"

namespace cvl {

BrokerAnswer BrokerAnswer::decode(int64_t status, std::string_view bytes) {
  BrokerAnswer answer;
  answer.status = status;
  if (bytes.empty()) return answer;
  nlohmann::json parsed = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (parsed.is_object()) answer.body = std::move(parsed);
  return answer;
}

std::optional<std::string> BrokerAnswer::string(const std::string& key) const {
  if (!body) return std::nullopt;
  auto it = body->find(key);
  if (it == body->end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

bool BrokerAnswer::isTrue(const std::string& key) const {
  if (!body) return false;
  auto it = body->find(key);
  return it != body->end() && it->is_boolean() && it->get<bool>();
}

std::optional<std::string> BrokerAnswer::nestedString(const std::string& outer,
                                                      const std::string& inner) const {
  if (!body) return std::nullopt;
  auto it = body->find(outer);
  if (it == body->end() || !it->is_object()) return std::nullopt;
  auto value = it->find(inner);
  if (value == it->end() || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

}  // namespace cvl
