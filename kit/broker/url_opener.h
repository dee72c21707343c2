#pragma once
// Opens a web address in the user's browser without waiting for it. Any thread.

#include <string>

namespace cvl::UrlOpener {

// Starts the desktop's opener with `url` as its only argument; a failure is ignored.
void open(const std::string& url);

}  // namespace cvl::UrlOpener
