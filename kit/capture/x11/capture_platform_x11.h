#pragma once
// The X11 capture platform: displays from XRandR monitors, the XShm streaming source and the
// XGetImage screenshot source, all on the X server named by DISPLAY. Connections are opened
// lazily by each piece; a server that cannot be reached gives no displays and sources that
// fail to start (streaming) or return no frames (screenshot).

#include <memory>

#include "kit/capture/capture_platform.h"
#include "kit/capture/pasteboard.h"

namespace cvl {

CapturePlatform x11CapturePlatform();
// The CLIPBOARD selection of the X server named by DISPLAY.
std::shared_ptr<Pasteboard> makeX11Pasteboard();

}  // namespace cvl
