#include "kit/broker/service_urls.h"

#include <cstdlib>

namespace cvl {

const char* const StandardBrokerURL = CVL_STANDARD_BROKER_URL;
const char* const StandardRelayURL = CVL_STANDARD_RELAY_URL;
const char* const WebsiteURL = CVL_WEBSITE_URL;

std::string websiteUrl() {
  const char* value = std::getenv("CVL_WEBSITE_URL");
  return value && *value ? value : WebsiteURL;
}

}  // namespace cvl
