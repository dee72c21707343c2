#pragma once
// The request target of an upgrade ("/host?deviceId=...&token=..."), taken apart: which
// endpoint (the last path segment, so that a relay may sit under a path prefix) and the
// percent-decoded query parameters, "+" staying "+" (the host sends a literal plus as %2B).
// Untrusted input; stateless.

#include <map>
#include <string>
#include <string_view>

namespace cvl::relay {

struct RelayTarget {
  std::string endpoint;                      // "host", "view" or anything else
  std::map<std::string, std::string> query;  // first occurrence of each key
  bool malformed = false;                    // a broken %-escape: no parameter is trusted
};

RelayTarget parseRelayTarget(std::string_view target);

}  // namespace cvl::relay
