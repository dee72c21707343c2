#include "kit/fabric/viewer_conn.h"

#include <random>

namespace cvl {

std::string normaliseRole(std::string_view role) {
  if (mayDrive(role) || role == "viewer") return std::string(role);
  return "viewer";
}

std::string randomUuidId(std::string_view prefix) {
  // The first 12 characters of a version-4 UUID are 8 random hex digits, a dash and 3 more
  // random ones. These ids are labels, not secrets.
  static constexpr char HEX[] = "0123456789ABCDEF";
  thread_local std::mt19937_64 generator{std::random_device{}()};
  uint64_t bits = generator();
  std::string id(prefix);
  for (int i = 0; i < 12; ++i) {
    if (i == 8) {
      id.push_back('-');
      continue;
    }
    id.push_back(HEX[bits & 15]);
    bits >>= 4;
  }
  return id;
}

ViewerConn::ViewerConn(uint32_t id, std::string normalisedRole,
                       const std::shared_ptr<Scheduler>& scheduler)
    : clientId(id),
      role(std::move(normalisedRole)),
      handshake(E2ERole::responder),
      pid(randomUuidId("part_")),
      queue("cvl.viewer." + std::to_string(id), scheduler) {}

}  // namespace cvl
