#include "kit/broker/service_urls.h"

namespace cvl {

const char* const StandardBrokerURL = CVL_STANDARD_BROKER_URL;
const char* const StandardRelayURL = CVL_STANDARD_RELAY_URL;
const char* const WebsiteURL = CVL_WEBSITE_URL;

}  // namespace cvl
