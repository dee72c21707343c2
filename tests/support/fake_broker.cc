#include "tests/support/fake_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>

namespace cvl::test {

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = text.find_last_not_of(" \t");
  return text.substr(b, e - b + 1);
}

void writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went away (for instance after its timeout)
    done += static_cast<size_t>(n);
  }
}

}  // namespace

FakeBroker::Answer FakeBroker::Answer::json(int status, const nlohmann::json& body) {
  return Answer{status, body.dump(), {}};
}
FakeBroker::Answer FakeBroker::Answer::raw(int status, std::string body) {
  return Answer{status, std::move(body), {}};
}
FakeBroker::Answer FakeBroker::Answer::noBody(int status) { return Answer{status, {}, {}}; }
FakeBroker::Answer FakeBroker::Answer::after(std::chrono::milliseconds wait) const {
  Answer copy = *this;
  copy.delay = wait;
  return copy;
}

std::string FakeBroker::Request::header(const std::string& lowerCaseName) const {
  auto it = headers.find(lowerCaseName);
  return it == headers.end() ? std::string() : it->second;
}

nlohmann::json FakeBroker::Request::json() const {
  return nlohmann::json::parse(body, nullptr, false);
}

FakeBroker::FakeBroker() {
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0) {
    throw std::runtime_error("bind/listen failed");
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeBroker::~FakeBroker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  char c = 'x';
  (void)!::write(stopPipe_[1], &c, 1);
  acceptor_.join();
  // The acceptor has ended, so nobody adds connections any more.
  for (auto& t : connections_) t.join();
  ::close(listenFd_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

std::string FakeBroker::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void FakeBroker::on(const std::string& path, Answer answer) {
  std::lock_guard lock(mutex_);
  script_[path] = {std::move(answer)};
}

void FakeBroker::sequence(const std::string& path, std::vector<Answer> answers) {
  std::lock_guard lock(mutex_);
  script_[path] = std::move(answers);
}

std::vector<FakeBroker::Request> FakeBroker::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<FakeBroker::Request> FakeBroker::requestsTo(const std::string& path) const {
  std::lock_guard lock(mutex_);
  std::vector<Request> out;
  for (const auto& r : requests_) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

bool FakeBroker::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

FakeBroker::Answer FakeBroker::nextAnswer(const std::string& path) {
  auto it = script_.find(path);
  if (it == script_.end() || it->second.empty()) return Answer::noBody(404);
  Answer answer = it->second.front();
  if (it->second.size() > 1) it->second.erase(it->second.begin());
  return answer;
}

void FakeBroker::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connections_.emplace_back([this, fd] { serve(fd); });
  }
}

void FakeBroker::serve(int fd) {
  // Reads one request (head, then Content-Length bytes of body), answers it, and closes.
  std::string data;
  size_t headEnd = std::string::npos;
  size_t wanted = std::string::npos;
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = data.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        wanted = headEnd + 4;
        std::string head = lower(data.substr(0, headEnd));
        auto at = head.find("\r\ncontent-length:");
        if (at != std::string::npos) {
          wanted += std::stoul(head.substr(at + 17, head.find("\r\n", at + 2) - at - 17));
        }
      }
    }
    if (wanted != std::string::npos && data.size() >= wanted) break;
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno == EINTR) continue;
    if (fds[1].revents) {
      ::close(fd);
      return;
    }
    char buffer[4096];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return;
    }
    data.append(buffer, static_cast<size_t>(n));
  }

  Request request;
  std::string head = data.substr(0, headEnd);
  size_t lineEnd = head.find("\r\n");
  std::string requestLine = head.substr(0, lineEnd);
  size_t sp1 = requestLine.find(' ');
  size_t sp2 = requestLine.find(' ', sp1 + 1);
  request.method = requestLine.substr(0, sp1);
  request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
  request.path = request.target.substr(0, request.target.find('?'));
  size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      request.headers[lower(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
    pos = end + 2;
  }
  request.body = data.substr(headEnd + 4, wanted - headEnd - 4);

  Answer answer;
  {
    std::unique_lock lock(mutex_);
    answer = nextAnswer(request.path);
    requests_.push_back(request);
    changed_.notify_all();
    if (answer.delay.count() > 0) {
      if (changed_.wait_for(lock, answer.delay, [&] { return stopping_; })) {
        lock.unlock();
        ::close(fd);
        return;
      }
    }
  }

  std::string response = "HTTP/1.1 " + std::to_string(answer.status) + " Scripted\r\n";
  if (answer.body) {
    response += "Content-Type: application/json\r\nContent-Length: " +
                std::to_string(answer.body->size()) + "\r\n";
  } else {
    response += "Content-Length: 0\r\n";
  }
  response += "Connection: close\r\n\r\n";
  if (answer.body) response += *answer.body;
  writeAll(fd, response);
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
}

}  // namespace cvl::test
