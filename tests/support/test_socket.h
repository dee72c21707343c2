#pragma once
// Test-side WebSocket clients on the kit's WebSocket wrapper.
//
// TestSocket keeps a receive armed and collects what arrives, so a test can wait for the next
// message. TestViewer speaks the relay's viewer endpoint: JSON notices arrive as text
// messages, client messages (hello / sealed bytes) as binary ones. Both are used from the
// test's thread; completions land on the network thread behind a mutex.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "kit/fabric/websocket.h"

namespace cvl::test {

using namespace std::chrono_literals;

class TestSocket {
 public:
  // Connects (resumes) at once. A URL that does not parse is an ADD_FAILURE.
  explicit TestSocket(const std::string& url, WebSocketOptions options = {});
  ~TestSocket();  // cancels with 1000
  TestSocket(const TestSocket&) = delete;
  TestSocket& operator=(const TestSocket&) = delete;

  // The next message or the connection's error; nothing after `timeout`. After an error,
  // every call returns that error.
  std::optional<WebSocketReceived> next(std::chrono::milliseconds timeout = 10s);
  // Skips messages until one is text JSON with "t" == `type` (relay notices); nothing on
  // error or timeout.
  std::optional<nlohmann::json> waitForNotice(const std::string& type,
                                              std::chrono::milliseconds timeout = 10s);

  // Sends and waits for the write to complete; the error, if any.
  std::optional<WebSocketError> send(WebSocketMessage message,
                                     std::chrono::milliseconds timeout = 10s);
  std::optional<WebSocketError> ping(std::chrono::milliseconds timeout = 40s);
  void cancel(uint16_t code);

  WebSocketTask& task() { return *task_; }

  struct Inbox;

 private:
  std::shared_ptr<WebSocketConnector> connector_;
  std::shared_ptr<WebSocketTask> task_;
  std::shared_ptr<Inbox> inbox_;
};

// A viewer on the relay's "/view" endpoint, without any end-to-end crypto: tests send and
// read raw client messages.
class TestViewer {
 public:
  explicit TestViewer(const std::string& viewerUrl, WebSocketOptions options = {});

  // Waits for "welcome"; the relay's client id for this viewer.
  std::optional<uint32_t> waitWelcome(std::chrono::milliseconds timeout = 10s);
  bool waitHostOnline(std::chrono::milliseconds timeout = 10s);
  bool waitHostOffline(std::chrono::milliseconds timeout = 10s);
  // The next binary message (a client message from the host); text notices in between are
  // kept for the wait functions above.
  std::optional<std::vector<uint8_t>> nextClientMessage(std::chrono::milliseconds timeout = 10s);
  std::optional<WebSocketError> sendClientMessage(std::vector<uint8_t> message);
  // The connection's error once it has failed (waits up to `timeout`).
  std::optional<WebSocketError> waitError(std::chrono::milliseconds timeout = 10s);

  TestSocket& socket() { return socket_; }

 private:
  bool pull(std::chrono::milliseconds timeout);
  std::optional<nlohmann::json> waitNotice(const std::string& type,
                                           std::chrono::milliseconds timeout);

  TestSocket socket_;
  std::deque<nlohmann::json> notices_;
  std::deque<std::vector<uint8_t>> messages_;
  std::optional<WebSocketError> error_;
};

}  // namespace cvl::test
