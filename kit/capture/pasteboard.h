#pragma once
// The system clipboard, plain text only (UTF-8), used by the host engine for the viewers'
// clipboard requests.
//
// Reading may block (it waits a bounded time for the clipboard's owner to answer), so reads and
// writes run on the pasteboard's own thread, one at a time in the order they were asked for,
// and report back through a callback that runs on that thread: a read asked for after a write
// sees the written text. Any thread may ask. Callbacks must be short; they post onward.

#include <functional>
#include <optional>
#include <string>

namespace cvl {

class Pasteboard {
 public:
  using TextDone = std::function<void(std::optional<std::string>)>;

  virtual ~Pasteboard() = default;

  // The clipboard's text, or absent when it holds no text (or its owner did not answer).
  virtual void readText(TextDone done) = 0;
  // Replaces whatever the clipboard held with `text`; `done` (may be empty) runs once a read
  // by anyone sees it.
  virtual void writeText(std::string text, std::function<void()> done) = 0;

  // The same, waiting for the answer. For tests and tools; never on the pasteboard's thread.
  std::optional<std::string> text();
  void setText(const std::string& text);
};

}  // namespace cvl
