#include "kit/fabric/dial_url.h"

#include <cstring>

namespace cvl::DialUrl {

std::string baseUrl(std::string_view relayUrl) {
  while (!relayUrl.empty() && relayUrl.back() == '/') relayUrl.remove_suffix(1);
  return std::string(relayUrl);
}

std::string encodeQueryValue(std::string_view value) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                (c != 0 && std::strchr("!$'()*,-.:;@_~", c) != nullptr);
    if (keep) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(HEX[c >> 4]);
      out.push_back(HEX[c & 15]);
    }
  }
  return out;
}

std::string hostUrl(const FabricConfig& config) {
  return baseUrl(config.relayUrl) + "/host?deviceId=" + encodeQueryValue(config.deviceId) +
         "&token=" + encodeQueryValue(config.deviceToken);
}

}  // namespace cvl::DialUrl
