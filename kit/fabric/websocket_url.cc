// parseWebSocketUrl: the scheme and the authority by Boost.URL's RFC 3986 grammar; the path and
// query are sent as they are written, so they are only cut off at the fragment.
#include <boost/url/parse.hpp>
#include <boost/url/scheme.hpp>
#include <boost/url/url_view.hpp>

#include "kit/fabric/websocket.h"

namespace cvl {

namespace {

constexpr uint16_t WS_DEFAULT_PORT = 80;
constexpr uint16_t WSS_DEFAULT_PORT = 443;
constexpr unsigned char DEL = 0x7f;

}  // namespace

std::optional<WebSocketUrl> parseWebSocketUrl(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == DEL) return std::nullopt;
  }
  const auto schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  const auto authorityEnd = text.find_first_of("/?#", schemeEnd + 3);

  auto origin = boost::urls::parse_uri(text.substr(0, authorityEnd));
  // Boost reads "ws://h:12a" as port 12 and path "a"; an authority ends the origin here.
  if (!origin || !origin->encoded_path().empty()) return std::nullopt;

  WebSocketUrl url;
  switch (origin->scheme_id()) {  // the scheme compares without regard to case
    case boost::urls::scheme::ws: url.secure = false; break;
    case boost::urls::scheme::wss: url.secure = true; break;
    default: return std::nullopt;
  }
  if (origin->has_userinfo()) return std::nullopt;
  switch (origin->host_type()) {
    case boost::urls::host_type::name:
    case boost::urls::host_type::ipv4:
    case boost::urls::host_type::ipv6: break;
    default: return std::nullopt;  // no host, or a future IP literal
  }
  // As written (an IPv6 literal without its brackets): the resolver gets exactly this.
  url.host = origin->encoded_host_address();
  if (url.host.empty()) return std::nullopt;

  if (!origin->has_port()) {
    url.port = url.secure ? WSS_DEFAULT_PORT : WS_DEFAULT_PORT;
  } else {
    url.port = origin->port_number();  // 0 when empty or beyond 65535
    if (url.port == 0) return std::nullopt;
  }

  std::string_view target =
      authorityEnd == std::string_view::npos ? std::string_view() : text.substr(authorityEnd);
  target = target.substr(0, target.find('#'));  // the fragment is never sent
  url.target = target.empty() || target.front() == '?' ? "/" + std::string(target)
                                                        : std::string(target);
  return url;
}

}  // namespace cvl
