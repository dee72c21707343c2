#pragma once
// What /proc tells about another process: CPU time used so far (all threads, user + system)
// and the resident set size.

#include <optional>
#include <sys/types.h>

namespace cvl::bench {

struct ProcStats {
  double cpuSeconds = 0;
  long rssKiB = 0;
};

std::optional<ProcStats> readProcStats(pid_t pid);

}  // namespace cvl::bench
