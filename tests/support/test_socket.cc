#include "tests/support/test_socket.h"

#include <future>

#include <gtest/gtest.h>

namespace cvl::test {

struct TestSocket::Inbox {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<WebSocketReceived> items;
  bool failed = false;
  std::weak_ptr<WebSocketTask> task;

  void arm(const std::shared_ptr<Inbox>& self) {
    auto task = self->task.lock();
    if (!task) return;
    std::weak_ptr<Inbox> weak = self;
    task->receive([weak](WebSocketReceived received) {
      auto inbox = weak.lock();
      if (!inbox) return;
      bool ok = received.ok();
      {
        std::lock_guard<std::mutex> lock(inbox->mutex);
        if (inbox->failed) return;
        inbox->failed = !ok;
        inbox->items.push_back(std::move(received));
      }
      inbox->changed.notify_all();
      if (ok) inbox->arm(inbox);
    });
  }
};

TestSocket::TestSocket(const std::string& url, WebSocketOptions options)
    : connector_(makeBeastWebSocketConnector(options)), inbox_(std::make_shared<Inbox>()) {
  auto parsed = parseWebSocketUrl(url);
  if (!parsed) {
    ADD_FAILURE() << "bad test URL " << url;
    parsed = parseWebSocketUrl("ws://127.0.0.1:9/");
  }
  task_ = connector_->makeTask(*parsed);
  inbox_->task = task_;
  task_->resume();
  inbox_->arm(inbox_);
}

TestSocket::~TestSocket() { task_->cancel(1000); }

std::optional<WebSocketReceived> TestSocket::next(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(inbox_->mutex);
  if (!inbox_->changed.wait_for(lock, timeout, [&] { return !inbox_->items.empty(); })) {
    return std::nullopt;
  }
  WebSocketReceived item = inbox_->items.front();
  if (item.ok()) inbox_->items.pop_front();  // an error stays, for every later call
  return item;
}

std::optional<nlohmann::json> TestSocket::waitForNotice(const std::string& type,
                                                        std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto item = next(left);
    if (!item || !item->ok()) return std::nullopt;
    if (item->message.kind != WebSocketMessage::Kind::text) continue;
    auto json = nlohmann::json::parse(item->message.data, nullptr, false);
    if (json.is_object() && json.value("t", "") == type) return json;
  }
}

namespace {

std::optional<WebSocketError> waitWrite(
    const std::function<void(WebSocketWriteCompletion)>& start,
    std::chrono::milliseconds timeout) {
  auto done = std::make_shared<std::promise<std::optional<WebSocketError>>>();
  auto result = done->get_future();
  start([done](std::optional<WebSocketError> error) { done->set_value(std::move(error)); });
  if (result.wait_for(timeout) != std::future_status::ready) {
    return WebSocketError{"test: the write did not complete in time"};
  }
  return result.get();
}

}  // namespace

std::optional<WebSocketError> TestSocket::send(WebSocketMessage message,
                                               std::chrono::milliseconds timeout) {
  auto task = task_;
  return waitWrite(
      [&](WebSocketWriteCompletion done) { task->send(std::move(message), std::move(done)); },
      timeout);
}

std::optional<WebSocketError> TestSocket::ping(std::chrono::milliseconds timeout) {
  auto task = task_;
  return waitWrite([&](WebSocketWriteCompletion done) { task->sendPing(std::move(done)); },
                   timeout);
}

void TestSocket::cancel(uint16_t code) { task_->cancel(code); }

TestViewer::TestViewer(const std::string& viewerUrl, WebSocketOptions options)
    : socket_(viewerUrl, options) {}

bool TestViewer::pull(std::chrono::milliseconds timeout) {
  if (error_) return false;
  auto item = socket_.next(timeout);
  if (!item) return false;
  if (!item->ok()) {
    error_ = item->error;
    return false;
  }
  if (item->message.kind == WebSocketMessage::Kind::text) {
    auto json = nlohmann::json::parse(item->message.data, nullptr, false);
    if (json.is_object()) notices_.push_back(std::move(json));
  } else {
    messages_.push_back(std::move(item->message.data));
  }
  return true;
}

std::optional<nlohmann::json> TestViewer::waitNotice(const std::string& type,
                                                     std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    for (auto it = notices_.begin(); it != notices_.end(); ++it) {
      if (it->value("t", "") == type) {
        auto found = std::move(*it);
        notices_.erase(notices_.begin(), it + 1);
        return found;
      }
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !pull(left)) return std::nullopt;
  }
}

std::optional<uint32_t> TestViewer::waitWelcome(std::chrono::milliseconds timeout) {
  auto welcome = waitNotice("welcome", timeout);
  if (!welcome || !(*welcome)["clientId"].is_number_unsigned()) return std::nullopt;
  return (*welcome)["clientId"].get<uint32_t>();
}

bool TestViewer::waitHostOnline(std::chrono::milliseconds timeout) {
  return waitNotice("host-online", timeout).has_value();
}

bool TestViewer::waitHostOffline(std::chrono::milliseconds timeout) {
  return waitNotice("host-offline", timeout).has_value();
}

std::optional<std::vector<uint8_t>> TestViewer::nextClientMessage(
    std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (messages_.empty()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !pull(left)) return std::nullopt;
  }
  auto message = std::move(messages_.front());
  messages_.pop_front();
  return message;
}

std::optional<WebSocketError> TestViewer::sendClientMessage(std::vector<uint8_t> message) {
  return socket_.send(WebSocketMessage::binary(std::move(message)));
}

std::optional<WebSocketError> TestViewer::waitError(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!error_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pull(left);
  }
  return error_;
}

}  // namespace cvl::test
