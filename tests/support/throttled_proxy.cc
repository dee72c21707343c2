#include "tests/support/throttled_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace cvl::test {

ThrottledProxy::ThrottledProxy(uint16_t targetPort, size_t upstreamBytesPerSecond)
    : targetPort_(targetPort), rate_(std::max<size_t>(upstreamBytesPerSecond, 1)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listenFd_, 8);
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

ThrottledProxy::~ThrottledProxy() {
  stopping_ = true;
  {
    std::lock_guard guard(mutex_);
    ::shutdown(listenFd_, SHUT_RDWR);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
  }
  acceptThread_.join();  // no pump is added after this
  for (auto& t : threads_) t.join();
  ::close(listenFd_);
  for (int fd : fds_) ::close(fd);
}

void ThrottledProxy::acceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(targetPort_);
    if (::connect(target, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(client);
      ::close(target);
      continue;
    }
    // Small kernel buffers on the slow side, so the client feels the slowness at once.
    int small = 16 * 1024;
    ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::lock_guard guard(mutex_);
    fds_.push_back(client);
    fds_.push_back(target);
    threads_.emplace_back([this, client, target] { pump(client, target, true); });
    threads_.emplace_back([this, client, target] { pump(target, client, false); });
  }
}

void ThrottledProxy::pump(int from, int to, bool throttled) {
  char buffer[4096];
  auto start = std::chrono::steady_clock::now();
  size_t passed = 0;
  while (!stopping_) {
    size_t chunk = sizeof buffer;
    if (throttled) {
      // Stay within rate_ bytes per second since the start.
      auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
      double allowed = elapsed.count() * static_cast<double>(rate_);
      if (static_cast<double>(passed) >= allowed) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      chunk = std::min(chunk, static_cast<size_t>(allowed - static_cast<double>(passed)) + 1);
    }
    pollfd p{from, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::recv(from, buffer, chunk, 0);
    if (n <= 0) break;
    ssize_t off = 0;
    while (off < n) {
      ssize_t w = ::send(to, buffer + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
      if (w <= 0) return;
      off += w;
    }
    passed += static_cast<size_t>(n);
    if (throttled) upstream_ += static_cast<size_t>(n);
  }
  ::shutdown(to, SHUT_WR);
}

}  // namespace cvl::test
