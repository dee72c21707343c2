// parseWebSocketUrl: the small part of URL syntax a WebSocket dial needs.
#include <algorithm>
#include <cctype>

#include "kit/fabric/websocket.h"

namespace cvl {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool isHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
         c == '~' || c == '%';
}

}  // namespace

std::optional<WebSocketUrl> parseWebSocketUrl(std::string_view text) {
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return std::nullopt;
  }
  auto schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  WebSocketUrl url;
  std::string_view scheme = text.substr(0, schemeEnd);
  if (equalsIgnoringCase(scheme, "ws")) {
    url.secure = false;
  } else if (equalsIgnoringCase(scheme, "wss")) {
    url.secure = true;
  } else {
    return std::nullopt;
  }
  std::string_view rest = text.substr(schemeEnd + 3);
  auto authorityEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view tail =
      authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;

  std::string_view host;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      if (port.empty()) return std::nullopt;
    }
    if (host.empty() || !std::all_of(host.begin(), host.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
        })) {
      return std::nullopt;
    }
  } else {
    auto colon = authority.find(':');
    host = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
      port = authority.substr(colon + 1);
      if (port.empty()) return std::nullopt;
    }
    if (host.empty() || !std::all_of(host.begin(), host.end(), isHostChar)) return std::nullopt;
  }
  url.host = std::string(host);

  if (port.empty()) {
    url.port = url.secure ? 443 : 80;
  } else {
    if (port.size() > 5 ||
        !std::all_of(port.begin(), port.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
      return std::nullopt;
    }
    unsigned long value = std::stoul(std::string(port));
    if (value == 0 || value > 65535) return std::nullopt;
    url.port = static_cast<uint16_t>(value);
  }

  tail = tail.substr(0, tail.find('#'));
  if (tail.empty() || tail.front() == '?') {
    url.target = "/" + std::string(tail);
  } else {
    url.target = std::string(tail);
  }
  return url;
}

}  // namespace cvl
