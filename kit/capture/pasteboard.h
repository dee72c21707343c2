#pragma once
// The system clipboard, plain text only (UTF-8). Used by the host engine for the viewers'
// clipboard requests; implementations are safe to call from any thread and never block for
// long (reading waits a bounded time for the clipboard's owner).

#include <optional>
#include <string>

namespace cvl {

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;

  // The clipboard's text, or absent when it holds no text (or its owner did not answer).
  virtual std::optional<std::string> text() = 0;
  // Replaces whatever the clipboard held with `text`.
  virtual void setText(const std::string& text) = 0;
};

}  // namespace cvl
