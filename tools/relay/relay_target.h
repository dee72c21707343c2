#pragma once
// The request target of an upgrade ("/host?deviceId=...&token=..."), taken apart: which
// endpoint (the last path segment, so that a relay may sit under a path prefix) and the
// percent-decoded query parameters. Untrusted input; stateless.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace cvl::relay {

struct RelayTarget {
  std::string endpoint;                      // "host", "view" or anything else
  std::map<std::string, std::string> query;  // first occurrence of each key
  bool malformed = false;                    // a broken %-escape: nothing is trusted
};

RelayTarget parseRelayTarget(std::string_view target);

// Percent-decodes; "+" stays "+" (the host sends a literal plus as %2B). Absent on a broken
// escape.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace cvl::relay
