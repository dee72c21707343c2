#pragma once
// The address the host dials: the relay URL without trailing slashes, then
// "/host?deviceId=" <id> "&token=" <token>, both values percent-encoded for a query.
// Stateless; any thread. The result carries the device token: never log it, log baseUrl().

#include <string>
#include <string_view>

#include "kit/fabric/fabric_config.h"

namespace cvl::DialUrl {

// `relayUrl` with every trailing "/" removed.
std::string baseUrl(std::string_view relayUrl);

// Percent-encodes (upper-case hex, per UTF-8 byte) everything but letters, digits and
// ! $ ' ( ) * , - . : ; @ _ ~ : the characters allowed in a query except & = ? / +, which
// would change the query's meaning.
std::string encodeQueryValue(std::string_view value);

std::string hostUrl(const FabricConfig& config);

}  // namespace cvl::DialUrl
