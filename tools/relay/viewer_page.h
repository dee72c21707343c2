#pragma once
// The web viewer, built from tools/web-viewer/ into one self-contained HTML file and embedded
// here, so that a self-hosted relay is one program that also serves its viewer at "/".
// Immutable; any thread.

#include <string>
#include <string_view>

namespace cvl::relay {

// Exactly the bytes served at "/".
std::string_view viewerPage();
// The page's Content-Security-Policy (its inline script and style by their SHA-256).
std::string_view viewerPagePolicy();
// SHA-256 of viewerPage() in lower-case hexadecimal, as `sha256sum` prints it.
std::string viewerPageSha256();

}  // namespace cvl::relay
