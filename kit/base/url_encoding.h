#pragma once
// Percent-encoding for the URLs the kit builds (the relay address a host dials, the broker's
// endpoints, the enrolment's pages), and the joining of a base URL with an endpoint path.
// Each caller picks the characters it leaves as they are. Pure functions; any thread.

#include <string>
#include <string_view>

namespace cvl::url {

// Characters left as they are besides ASCII letters and digits.
inline constexpr std::string_view QUERY_ALLOWED = "!$&'()*+,-./:;=?@_~";
// The query set without "&", "=", "?", "/" and "+": safe for one value inside a query.
inline constexpr std::string_view QUERY_VALUE_ALLOWED = "!$'()*,-.:;@_~";
inline constexpr std::string_view ALPHANUMERIC_ONLY = "";

// Every byte that is not an ASCII letter or digit and not in `allowed` (ASCII characters)
// becomes "%XX" (upper-case hex); "%" itself and bytes outside ASCII are always encoded.
std::string percentEncode(std::string_view text, std::string_view allowed);

// `base` with one trailing "/" removed, followed by `path` ("/login").
std::string join(std::string_view base, std::string_view path);

}  // namespace cvl::url
