#include "kit/broker/broker_transport.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "kit/broker/http_client.h"

namespace cvl::BrokerTransport {

void post(const std::string& url, const nlohmann::json& body,
          const std::optional<std::string>& bearer, std::function<void(BrokerAnswer)> completion,
          std::chrono::milliseconds timeout) {
  HttpRequest request;
  request.url = url;
  request.method = "POST";
  request.timeout = timeout;
  request.headers.emplace_back("Content-Type", "application/json");
  if (bearer) request.headers.emplace_back("Authorization", "Bearer " + *bearer);
  try {
    request.body = body.dump();
  } catch (const nlohmann::json::exception&) {
    request.body.reset();
  }
  HttpClient::shared().send(std::move(request),
                            [completion = std::move(completion)](HttpResponse response) {
                              completion(BrokerAnswer::decode(response.status, response.body));
                            });
}

namespace {

// Filled by the completion, read by the waiter; shared so that an answer arriving after the
// waiter gave up still writes into a live object that nobody reads any more.
struct Holder {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<BrokerAnswer> answer;
};

}  // namespace

BrokerAnswer postAndWait(const std::string& url, const nlohmann::json& body,
                         const std::optional<std::string>& bearer, std::chrono::milliseconds wait,
                         std::chrono::milliseconds timeout) {
  auto holder = std::make_shared<Holder>();
  post(
      url, body, bearer,
      [holder](BrokerAnswer answer) {
        std::lock_guard lock(holder->mutex);
        holder->answer = std::move(answer);
        holder->done.notify_all();
      },
      timeout);
  std::unique_lock lock(holder->mutex);
  if (!holder->done.wait_for(lock, wait, [&] { return holder->answer.has_value(); })) {
    return BrokerAnswer{};
  }
  return std::move(*holder->answer);
}

}  // namespace cvl::BrokerTransport
