#pragma once
// The clipboard on X11: the CLIPBOARD selection, text as UTF8_STRING.
//
// X keeps no clipboard of its own: after a write this object's thread owns the selection and
// answers other clients' requests until another client takes it over. The same thread, on the
// same connection, runs the reads and writes asked of it, in order: a write claims the
// selection and is done once the server names us as the owner; a read answers our own text
// while the server still names us, and otherwise asks the current owner, waiting at most
// READ_TIMEOUT (large texts come in increments). The thread lives as long as the object (its
// connection is opened with the first request) and ends after the request in progress. Any
// thread may ask.

#include <chrono>
#include <memory>

#include "kit/capture/pasteboard.h"

namespace cvl {

class X11Pasteboard : public Pasteboard {
 public:
  static constexpr auto READ_TIMEOUT = std::chrono::seconds(2);

  X11Pasteboard();
  ~X11Pasteboard() override;
  X11Pasteboard(const X11Pasteboard&) = delete;
  X11Pasteboard& operator=(const X11Pasteboard&) = delete;

  void readText(TextDone done) override;
  void writeText(std::string text, std::function<void()> done) override;

  struct Worker;

 private:
  std::unique_ptr<Worker> worker_;
};

}  // namespace cvl
