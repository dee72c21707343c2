#pragma once
// The service addresses built into the kit (CMake cache variables CVL_STANDARD_BROKER_URL,
// CVL_STANDARD_RELAY_URL, CVL_WEBSITE_URL). The enrolment lets CVL_BROKER_URL and CVL_RELAY_URL
// replace the first two at run time, and CVL_WEBSITE_URL the web site (websiteUrl()).
// Constant; readable from any thread.

#include <string>

namespace cvl {

extern const char* const StandardBrokerURL;  // HTTPS base URL of the account broker
extern const char* const StandardRelayURL;   // WebSocket URL of the relay
extern const char* const WebsiteURL;         // the web site (QR page, installer downloads)

// The web site to use: CVL_WEBSITE_URL when set and not empty, else WebsiteURL.
std::string websiteUrl();

}  // namespace cvl
