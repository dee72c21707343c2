#include "tests/support/fake_websocket.h"

namespace cvl::test {

void FakeWebSocketTask::resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  resumed_ = true;
}

void FakeWebSocketTask::receive(WebSocketReceiveCompletion completion) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<std::string> refusal;
  if (cancelCode_) {
    refusal = "cancelled";
  } else if (pendingReceive_) {
    refusal = "a receive is already pending";
  } else {
    pendingReceive_ = std::move(completion);
    return;
  }
  lock.unlock();
  if (completion) completion(WebSocketReceived{WebSocketError{*refusal}, {}});
}

void FakeWebSocketTask::send(WebSocketMessage message, WebSocketWriteCompletion completion) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<WebSocketError> error;
  if (cancelCode_) {
    error = WebSocketError{"cancelled"};
  } else if (sendError_) {
    error = WebSocketError{*sendError_};
  } else {
    sent_.push_back(std::move(message));
  }
  lock.unlock();
  if (completion) completion(std::move(error));
}

void FakeWebSocketTask::sendPing(WebSocketWriteCompletion completion) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cancelCode_) {
    ++pings_;
    pendingPings_.push_back(std::move(completion));
    return;
  }
  lock.unlock();
  if (completion) completion(WebSocketError{"cancelled"});
}

void FakeWebSocketTask::cancel(uint16_t closeCode, std::string) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (cancelCode_) return;
  cancelCode_ = closeCode;
  auto receive = std::move(pendingReceive_);
  pendingReceive_ = nullptr;
  auto pings = std::move(pendingPings_);
  pendingPings_.clear();
  lock.unlock();
  if (receive) receive(WebSocketReceived{WebSocketError{"cancelled"}, {}});
  for (auto& ping : pings) {
    if (ping) ping(WebSocketError{"cancelled"});
  }
}

bool FakeWebSocketTask::resumed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return resumed_;
}

bool FakeWebSocketTask::receivePending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<bool>(pendingReceive_);
}

bool FakeWebSocketTask::deliver(WebSocketMessage message) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto receive = std::move(pendingReceive_);
  pendingReceive_ = nullptr;
  lock.unlock();
  if (!receive) return false;
  receive(WebSocketReceived{std::nullopt, std::move(message)});
  return true;
}

bool FakeWebSocketTask::fail(const std::string& description) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto receive = std::move(pendingReceive_);
  pendingReceive_ = nullptr;
  lock.unlock();
  if (!receive) return false;
  receive(WebSocketReceived{WebSocketError{description}, {}});
  return true;
}

bool FakeWebSocketTask::answerPing(std::optional<std::string> error) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (pendingPings_.empty()) return false;
  auto ping = std::move(pendingPings_.front());
  pendingPings_.pop_front();
  lock.unlock();
  if (ping) {
    ping(error ? std::optional<WebSocketError>(WebSocketError{*error}) : std::nullopt);
  }
  return true;
}

std::vector<WebSocketMessage> FakeWebSocketTask::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

int FakeWebSocketTask::pings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pings_;
}

std::optional<uint16_t> FakeWebSocketTask::cancelCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelCode_;
}

void FakeWebSocketTask::failSends(std::string description) {
  std::lock_guard<std::mutex> lock(mutex_);
  sendError_ = std::move(description);
}

std::shared_ptr<WebSocketTask> FakeWebSocketConnector::makeTask(const WebSocketUrl& url) {
  auto task = std::make_shared<FakeWebSocketTask>(url);
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.push_back(task);
  return task;
}

std::vector<std::shared_ptr<FakeWebSocketTask>> FakeWebSocketConnector::tasks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_;
}

std::shared_ptr<FakeWebSocketTask> FakeWebSocketConnector::last() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.empty() ? nullptr : tasks_.back();
}

}  // namespace cvl::test
