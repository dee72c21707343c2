#include "bench/host_e2e_probe/proc_stats.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace cvl::bench {

std::optional<ProcStats> readProcStats(pid_t pid) {
  std::string base = "/proc/" + std::to_string(pid);
  std::ifstream stat(base + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // The command name may contain spaces; fields are counted from the closing parenthesis.
  auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  ProcStats stats;
  stats.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::ifstream status(base + "/status");
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) stats.rssKiB = std::stol(line.substr(6));
  }
  return stats;
}

}  // namespace cvl::bench
