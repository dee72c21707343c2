#pragma once
// A WebSocketConnector whose tasks are driven by the test: it records every task made (with
// its URL) and what the code under test did with it (resume, sends, pings, cancel), and the
// test delivers messages and errors to the pending receive and completes pings.
// Completions run on the thread of the test call that triggers them, outside the fake's lock;
// any thread may call any method.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "kit/fabric/websocket.h"

namespace cvl::test {

class FakeWebSocketTask : public WebSocketTask {
 public:
  explicit FakeWebSocketTask(WebSocketUrl url) : url_(std::move(url)) {}

  // WebSocketTask
  void resume() override;
  void receive(WebSocketReceiveCompletion completion) override;
  void send(WebSocketMessage message, WebSocketWriteCompletion completion) override;
  void sendPing(WebSocketWriteCompletion completion) override;
  void cancel(uint16_t closeCode, std::string reason) override;

  // Test side.
  const WebSocketUrl& url() const { return url_; }
  bool resumed() const;
  bool receivePending() const;
  // Completes the pending receive; false when none was pending.
  bool deliver(WebSocketMessage message);
  bool fail(const std::string& description);
  // Completes the oldest pending ping (with an error when given); false when none.
  bool answerPing(std::optional<std::string> error = std::nullopt);
  std::vector<WebSocketMessage> sent() const;
  int pings() const;
  std::optional<uint16_t> cancelCode() const;
  // Makes later sends complete with this error.
  void failSends(std::string description);

 private:
  WebSocketUrl url_;
  mutable std::mutex mutex_;
  bool resumed_ = false;
  WebSocketReceiveCompletion pendingReceive_;
  std::vector<WebSocketMessage> sent_;
  std::deque<WebSocketWriteCompletion> pendingPings_;
  int pings_ = 0;
  std::optional<uint16_t> cancelCode_;
  std::optional<std::string> sendError_;
};

class FakeWebSocketConnector : public WebSocketConnector {
 public:
  std::shared_ptr<WebSocketTask> makeTask(const WebSocketUrl& url) override;

  std::vector<std::shared_ptr<FakeWebSocketTask>> tasks() const;
  // The newest task, or null.
  std::shared_ptr<FakeWebSocketTask> last() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeWebSocketTask>> tasks_;
};

}  // namespace cvl::test
