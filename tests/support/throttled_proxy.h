#pragma once
// A TCP proxy on 127.0.0.1 that forwards every accepted connection to a target port and
// passes the client-to-target direction at a limited rate: a link that drains slower than
// the client writes. Threads of its own; destroyed by the test that made it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace cvl::test {

class ThrottledProxy {
 public:
  ThrottledProxy(uint16_t targetPort, size_t upstreamBytesPerSecond);
  ~ThrottledProxy();
  ThrottledProxy(const ThrottledProxy&) = delete;
  ThrottledProxy& operator=(const ThrottledProxy&) = delete;

  uint16_t port() const { return port_; }
  // Bytes passed from clients to the target so far.
  size_t upstreamBytes() const { return upstream_; }

 private:
  void acceptLoop();
  void pump(int from, int to, bool throttled);

  uint16_t targetPort_;
  size_t rate_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> upstream_{0};
  std::mutex mutex_;
  std::vector<int> fds_;
  std::vector<std::thread> threads_;  // the pumps, added by the accept thread
  std::thread acceptThread_;
};

}  // namespace cvl::test
