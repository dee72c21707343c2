#include "kit/capture/x11/capture_platform_x11.h"

#include "kit/capture/x11/damage_change_detector_x11.h"
#include "kit/capture/x11/display_services_x11.h"
#include "kit/capture/x11/pasteboard_x11.h"
#include "kit/capture/x11/xgetimage_screenshot_source.h"
#include "kit/capture/x11/xshm_stream_source.h"

namespace cvl {

CapturePlatform x11CapturePlatform() {
  CapturePlatform platform;
  platform.displays = std::make_shared<X11DisplayServices>();
  platform.streamSource = [](DisplayId id) { return std::make_shared<XShmStreamSource>(id); };
  platform.screenshotSource = [](DisplayId id) {
    return std::make_shared<XGetImageScreenshotSource>(id);
  };
  platform.changeDetector = [](const ScreenArea& area) {
    return x11::makeDamageChangeDetector({static_cast<int>(area.x), static_cast<int>(area.y),
                                          static_cast<int>(area.width),
                                          static_cast<int>(area.height)});
  };
  return platform;
}

std::shared_ptr<Pasteboard> makeX11Pasteboard() { return std::make_shared<X11Pasteboard>(); }

}  // namespace cvl
