#pragma once
// A real HTTP server on a loopback port that plays the account broker for tests. Each test
// scripts the answers per path (status and body, no body at all, or a delay before answering)
// and reads back every request it received. A path without a script gets 404 without a body. Requests are served
// on the server's own threads; all methods may be called from any thread.

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace cvl::test {

class FakeBroker {
 public:
  struct Answer {
    int status = 200;
    std::optional<std::string> body;  // absent: the answer has no body
    std::chrono::milliseconds delay{0};

    static Answer json(int status, const nlohmann::json& body);
    static Answer raw(int status, std::string body);
    static Answer noBody(int status);
    Answer after(std::chrono::milliseconds wait) const;
  };

  struct Request {
    std::string method;
    std::string target;  // path with query, as sent
    std::string path;    // without the query
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    // The header's value, empty when it was not sent.
    std::string header(const std::string& lowerCaseName) const;
    // The body parsed as JSON (discarded value when it is not JSON).
    nlohmann::json json() const;
  };

  FakeBroker();
  ~FakeBroker();
  FakeBroker(const FakeBroker&) = delete;
  FakeBroker& operator=(const FakeBroker&) = delete;

  // "http://127.0.0.1:<port>"
  std::string url() const;
  int port() const { return port_; }

  // From now on every request to `path` (the target without its query) gets `answer`.
  void on(const std::string& path, Answer answer);
  // From now on requests to `path` get these answers in order; the last one keeps answering.
  void sequence(const std::string& path, std::vector<Answer> answers);

  std::vector<Request> requests() const;
  std::vector<Request> requestsTo(const std::string& path) const;
  // Waits until at least `count` requests have been received in total.
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;

 private:
  void acceptLoop();
  void serve(int fd);
  Answer nextAnswer(const std::string& path);

  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::string, std::vector<Answer>> script_;
  std::vector<Request> requests_;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
};

}  // namespace cvl::test
