#pragma once
// The terminal side of the command-line enrolment: unbuffered writes to standard output,
// line reads from standard input, and a secret read from the controlling terminal with echo
// switched off. Used only by the enrolment dialogue on its one thread.

#include <optional>
#include <string>
#include <string_view>

namespace cvl::Console {

// Writes `text` to standard output at once (no buffering).
void write(std::string_view text);

// One line from standard input without its line end; absent at end of input when nothing
// was read.
std::optional<std::string> readLine();

// Writes `prompt` to the controlling terminal, reads one line from it with echo off, and
// ends the line on the terminal. The answer loses only its line end. Absent when there is no
// controlling terminal to use. The terminal's settings are restored, also when a signal ends
// the process while echo is off.
std::optional<std::string> readSecret(const std::string& prompt);

// The computer's network host name (empty when unknown).
std::string hostName();

}  // namespace cvl::Console
