#pragma once
// The diagnostic log: one timestamped line per event on standard error.
//
//   [2026-03-01T09:15:02.417Z] [fabric] client 7 joined as owner
//
// Items are turned into text (strings as they are, integers in decimal, booleans as
// true/false, floating point in their shortest exact form) and joined by single spaces.
// Each line leaves the process in one write(2), so lines from different threads never
// interleave. Any thread may log. Never pass a token, password or key.

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>

namespace cvl::Log {

// The verbose switch. Starts as verboseFromEnvironment(getenv("CVL_VERBOSE")), computed once
// on first use; may be changed at any time from any thread.
bool verbose();
void setVerbose(bool on);
// True exactly for the one-character text "1".
bool verboseFromEnvironment(const char* value);

// Writes "[" + timestamp + "] " + text + "\n" to standard error in one write. Failures are
// ignored.
void writeLine(std::string_view text);
// Sends the lines to the open file descriptor `fd` from now on instead of standard error (a
// fuzz run keeps its own report readable with /dev/null). Any thread.
void setOutput(int fd);

namespace detail {

inline void append(std::string& out, std::string_view text) { out.append(text); }
inline void append(std::string& out, const char* text) { out.append(text ? text : ""); }
inline void append(std::string& out, const std::string& text) { out.append(text); }
inline void append(std::string& out, bool value) { out.append(value ? "true" : "false"); }
inline void append(std::string& out, char c) { out.push_back(c); }

template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
void append(std::string& out, T value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

void appendFloating(std::string& out, double value);

template <std::floating_point T>
void append(std::string& out, T value) {
  appendFloating(out, static_cast<double>(value));
}

template <typename... Items>
std::string join(const Items&... items) {
  std::string text;
  bool first = true;
  ((first ? void(first = false) : text.push_back(' '), append(text, items)), ...);
  return text;
}

}  // namespace detail

template <typename... Items>
void line(const Items&... items) {
  writeLine(detail::join(items...));
}

template <typename... Items>
void vlog(const Items&... items) {
  if (verbose()) writeLine(detail::join(items...));
}

}  // namespace cvl::Log
