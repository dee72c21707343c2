#include "tools/relay/relay_target.h"

#include <boost/url/encode.hpp>
#include <boost/url/parse_query.hpp>
#include <boost/url/rfc/pchars.hpp>

namespace cvl::relay {

namespace {

// What a query may hold by RFC 3986, and "%" whatever follows it. Browsers send some other
// characters ('|', '{', '^', bytes beyond ASCII…) as they are, and the relay takes them as they
// are: escaping them first leaves a broken escape as the only thing that fails the parse.
constexpr auto QUERY_AS_SENT = boost::urls::pchars + '/' + '?' + '%';

}  // namespace

RelayTarget parseRelayTarget(std::string_view target) {
  RelayTarget result;
  const auto queryStart = target.find('?');
  const std::string_view path = target.substr(0, queryStart);
  const auto slash = path.rfind('/');
  result.endpoint = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  if (queryStart == std::string_view::npos) return result;

  const std::string query = boost::urls::encode(target.substr(queryStart + 1), QUERY_AS_SENT);
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
