#pragma once
// Losing the window system. When the display server goes away (the session ended, the server
// died) every connection to it is broken for good and nothing the process shows or does can
// work again. The host then ends with a clear line, so that its service manager starts it
// again once a session is back, instead of whatever the window-system library does by itself.

#include <string>

namespace cvl::DisplayLoss {

// What runs on whichever thread notices the loss first, given the display's name. It must end
// the process; should it return, the process ends with status 1. Installed once per process.
using Handler = void (*)(const std::string& displayName);
void onLost(Handler handler);

// Watches the display on a connection and thread of its own, so that its loss is noticed while
// nothing else in the process talks to it. Does nothing without a display.
void watch();

}  // namespace cvl::DisplayLoss
