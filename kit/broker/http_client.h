#pragma once
// The process-wide HTTP client: sends requests and hands each answer to a completion that runs
// on the client's own worker thread, never on the caller's. The one exception is a request that
// cannot be sent at all (an unparsable URL, a header value with a line break): its completion
// runs at once on the calling thread with status 0. Every completion runs exactly once, also
// for requests still in flight when the client is destroyed. Any thread may call send().

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cvl {

struct HttpRequest {
  std::string url;
  std::string method = "POST";
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> body;  // absent: no body is sent
  std::chrono::milliseconds timeout{25'000};
  // A larger answer is cut off and reported as a transport failure (status 0).
  std::size_t maxAnswerBytes = 4u << 20;
  // When not empty, the answer's bytes stream into this file (created or truncated, mode
  // 0600) instead of into memory; the response's body then stays empty.
  std::string saveTo;
};

struct HttpResponse {
  long status = 0;   // the HTTP status code; 0 when no complete HTTP answer arrived
  std::string body;  // the answer's bytes (empty when none came)
  std::string error;  // what went wrong when the transfer failed; empty otherwise
};

class HttpClient {
 public:
  using Completion = std::function<void(HttpResponse)>;

  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The shared client; it lives until the process ends.
  static HttpClient& shared();

  void send(HttpRequest request, Completion completion);

  // True when `url` parses as an absolute URL with a host.
  static bool isValidUrl(const std::string& url);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace cvl
