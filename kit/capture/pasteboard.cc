#include "kit/capture/pasteboard.h"

#include <future>

namespace cvl {

std::optional<std::string> Pasteboard::text() {
  auto answer = std::make_shared<std::promise<std::optional<std::string>>>();
  auto result = answer->get_future();
  readText([answer](std::optional<std::string> text) { answer->set_value(std::move(text)); });
  return result.get();
}

void Pasteboard::setText(const std::string& text) {
  auto written = std::make_shared<std::promise<void>>();
  auto result = written->get_future();
  writeText(text, [written] { written->set_value(); });
  result.get();
}

}  // namespace cvl
