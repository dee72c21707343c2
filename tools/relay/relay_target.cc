#include "tools/relay/relay_target.h"

namespace cvl::relay {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hexValue(text[i + 1]);
    int lo = hexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

RelayTarget parseRelayTarget(std::string_view target) {
  RelayTarget result;
  auto q = target.find('?');
  std::string_view path = target.substr(0, q);
  auto slash = path.rfind('/');
  result.endpoint = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  if (q == std::string_view::npos) return result;
  std::string_view query = target.substr(q + 1);
  while (!query.empty()) {
    auto amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    auto eq = pair.find('=');
    auto key = percentDecode(pair.substr(0, eq));
    auto value =
        percentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
    if (!key || !value) {
      result.malformed = true;
      return result;
    }
    result.query.emplace(*key, *value);
  }
  return result;
}

}  // namespace cvl::relay
