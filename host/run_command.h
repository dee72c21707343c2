#pragma once
// `cvlhost run`: the start-up sequence, then serving until the process is stopped.

namespace cvl::host {

// Does not return in normal operation; the value is the process's exit status.
int runHost();

}  // namespace cvl::host
