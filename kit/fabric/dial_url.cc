#include "kit/fabric/dial_url.h"

#include "kit/base/url_encoding.h"

namespace cvl::DialUrl {

std::string baseUrl(std::string_view relayUrl) {
  while (!relayUrl.empty() && relayUrl.back() == '/') relayUrl.remove_suffix(1);
  return std::string(relayUrl);
}

std::string hostUrl(const FabricConfig& config) {
  return baseUrl(config.relayUrl) +
         "/host?deviceId=" + url::percentEncode(config.deviceId, url::QUERY_VALUE_ALLOWED) +
         "&token=" + url::percentEncode(config.deviceToken, url::QUERY_VALUE_ALLOWED);
}

}  // namespace cvl::DialUrl
