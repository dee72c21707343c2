#pragma once
// The usage text of cvlhost, printed by `help` and for an unknown command.

namespace cvl::host {

inline constexpr const char* USAGE_TEXT =
    "cvlhost \u2014 corvello macOS host\n"
    "\n"
    "Usage:\n"
    "  cvlhost run                 join the fabric as a host (default)\n"
    "  cvlhost register            enrol this Mac (writes fabric.json)\n"
    "  cvlhost check               show permission status\n"
    "  cvlhost help                this help\n"
    "\n"
    "Env:\n"
    "  CVL_VERBOSE=1               verbose logging\n"
    "  FABRIC_CONFIG=/path         explicit fabric.json path\n"
    "  CVL_BROKER_URL / CVL_RELAY_URL / CVL_EMAIL / CVL_PASSWORD / CVL_DEVICE_NAME\n"
    "                              non-interactive registration overrides\n";

}  // namespace cvl::host
