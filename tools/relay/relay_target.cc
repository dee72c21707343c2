#include "tools/relay/relay_target.h"

#include <boost/url/encode.hpp>
#include <boost/url/parse_query.hpp>
#include <boost/url/rfc/pchars.hpp>

namespace cvl::relay {

namespace {

// What a query may hold by RFC 3986 besides escapes.
constexpr auto QUERY_CHARS = boost::urls::pchars + '/' + '?';

// Browsers send some characters a query may not hold ('|', '{', '^', bytes beyond ASCII…) as
// they are, and the relay takes them as they are: they are escaped here, every "%" and what
// follows it left alone, so that a broken escape is the only thing that fails the parse.
std::string escapeAllButEscapes(std::string_view query) {
  std::string out;
  for (std::size_t start = 0;;) {
    const auto percent = query.find('%', start);
    out += boost::urls::encode(query.substr(start, percent - start), QUERY_CHARS);
    if (percent == std::string_view::npos) return out;
    out += '%';
    start = percent + 1;
  }
}

}  // namespace

RelayTarget parseRelayTarget(std::string_view target) {
  RelayTarget result;
  const auto queryStart = target.find('?');
  const std::string_view path = target.substr(0, queryStart);
  const auto slash = path.rfind('/');
  result.endpoint = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  if (queryStart == std::string_view::npos) return result;

  const std::string query = escapeAllButEscapes(target.substr(queryStart + 1));
  auto params = boost::urls::parse_query(query);
  if (!params) {
    result.malformed = true;
    return result;
  }
  const boost::urls::encoding_opts plusStaysPlus(/*space_as_plus=*/false);
  for (const auto& param : *params) {
    if (param.key.empty() && !param.has_value) continue;  // "a=1&&b=2"
    result.query.emplace(param.key.decode(plusStaysPlus), param.value.decode(plusStaysPlus));
  }
  return result;
}

}  // namespace cvl::relay
