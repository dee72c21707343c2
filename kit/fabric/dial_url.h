#pragma once
// The address the host dials: the relay URL without trailing slashes, then
// "/host?deviceId=" <id> "&token=" <token>, both values percent-encoded as one query value
// (url::QUERY_VALUE_ALLOWED). Stateless; any thread. The result carries the device token:
// never log it, log baseUrl().

#include <string>
#include <string_view>

#include "kit/fabric/fabric_config.h"

namespace cvl::DialUrl {

// `relayUrl` with every trailing "/" removed.
std::string baseUrl(std::string_view relayUrl);

std::string hostUrl(const FabricConfig& config);

}  // namespace cvl::DialUrl
