#pragma once
// Display services backed by the X server's RandR monitors, over a connection of its own
// (opened on first use, again after a failure). Any thread; calls are serialised inside.

#include <memory>
#include <mutex>

#include "kit/base/x11/x11_connection.h"
#include "kit/capture/display_services.h"

struct _XDisplay;

namespace cvl {

class X11DisplayServices : public DisplayServices {
 public:
  X11DisplayServices();
  ~X11DisplayServices() override;

  std::vector<DisplayId> activeDisplays() override;
  DisplayId mainDisplay() override;
  DisplayBounds bounds(DisplayId id) override;

 private:
  _XDisplay* connection();  // with mutex_ held

  std::mutex mutex_;
  X11Connection display_;
};

}  // namespace cvl
