#pragma once
// The clipboard on X11: the CLIPBOARD selection, text as UTF8_STRING. X keeps no clipboard
// of its own, so after a setText() a small owner thread of this object holds the selection
// and answers other clients' requests until another client takes it over. Reading asks the
// current owner with a bounded wait (READ_TIMEOUT) so an unresponsive owner cannot stall the
// caller. Any thread.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kit/capture/pasteboard.h"

struct _XDisplay;

namespace cvl {

class X11Pasteboard : public Pasteboard {
 public:
  static constexpr auto READ_TIMEOUT = std::chrono::seconds(2);

  X11Pasteboard();
  ~X11Pasteboard() override;

  std::optional<std::string> text() override;
  void setText(const std::string& text) override;

  struct Owner;

 private:
  // The clipboard's text as its current owner gives it; `ownText` when that owner is our
  // own window `ownWindow` (0: none).
  std::optional<std::string> readSelection(unsigned long ownWindow, const std::string& ownText);

  std::mutex readMutex_;  // the reader connection
  _XDisplay* reader_ = nullptr;
  unsigned long readerWindow_ = 0;

  std::mutex ownerMutex_;  // starting the owner
  std::unique_ptr<Owner> owner_;
};

}  // namespace cvl
