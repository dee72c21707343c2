#pragma once
// Client WebSocket connections in the shape the fabric client expects of the platform's
// WebSocket task: make a task for a ws:// or wss:// URL, resume it, receive one message at a
// time, send, ping, cancel with a close code. Everything fails the same way: a refused
// upgrade, a failed TLS verification, a lost socket or a cancel all surface as an error of
// the pending (and every later) receive.
//
// Ownership: a WebSocketConnector makes tasks; callers hold tasks through shared_ptr. Releasing
// the last reference to a task closes its connection (close code 1001).
// Threads: every method of a task may be called from any thread. Completions run on the
// network thread, one at a time; they must be short and hold their owners weakly, because
// a completion may still run after its task has been released or cancelled.
// Writes: sends, pings and the closing handshake of a task leave through one write queue, one
// at a time, in the order of the calls. A caller that writes from several threads keeps its
// own order by issuing the calls from one serial queue (the fabric client's
// "cvl.fabric.socket-write").

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cvl {

// A close frame's payload is at most 125 bytes, two of them the code: a longer reason is cut.
inline constexpr std::size_t MAX_CLOSE_REASON_SIZE = 123;

// A parsed ws:// or wss:// URL.
struct WebSocketUrl {
  bool secure = false;  // wss: TLS with certificate and host-name verification
  std::string host;     // DNS name or IP literal (IPv6 without brackets)
  uint16_t port = 0;    // explicit, or 80 / 443
  std::string target;   // path and query as sent in the request line, at least "/"

  bool operator==(const WebSocketUrl&) const = default;
};

// Parses "ws[s]://host[:port][/path][?query][#fragment]" (scheme case-insensitive; the
// fragment is not sent). Absent when no usable URL can be formed: another scheme, no host,
// a bad port, user info, or spaces and control characters anywhere.
std::optional<WebSocketUrl> parseWebSocketUrl(std::string_view text);

struct WebSocketMessage {
  enum class Kind { binary, text };
  Kind kind = Kind::binary;
  std::vector<uint8_t> data;  // a text message as its UTF-8 bytes

  static WebSocketMessage binary(std::vector<uint8_t> bytes) {
    return {Kind::binary, std::move(bytes)};
  }
  static WebSocketMessage text(std::string_view text) {
    return {Kind::text, std::vector<uint8_t>(text.begin(), text.end())};
  }
  bool operator==(const WebSocketMessage&) const = default;
};

// What went wrong, as a sentence fit for a log line. Never contains the URL's query, which
// carries credentials.
struct WebSocketError {
  std::string description;
};

// Exactly one of `error` and a meaningful `message`.
struct WebSocketReceived {
  std::optional<WebSocketError> error;
  WebSocketMessage message;
  bool ok() const { return !error.has_value(); }
};

using WebSocketReceiveCompletion = std::function<void(WebSocketReceived)>;
using WebSocketWriteCompletion = std::function<void(std::optional<WebSocketError>)>;

class WebSocketTask {
 public:
  virtual ~WebSocketTask() = default;

  // Starts opening the connection. Receives, sends and pings issued before the connection is
  // open wait for it (and fail with its error when it cannot be opened).
  virtual void resume() = 0;

  // Completes with the next message or with the connection's error. At most one receive may
  // be pending; a second one completes with an error at once and leaves the first pending.
  virtual void receive(WebSocketReceiveCompletion completion) = 0;

  // Completes when the message has been written, or with an error. A null completion is fine.
  virtual void send(WebSocketMessage message, WebSocketWriteCompletion completion) = 0;

  // Sends `bytes` as one binary message without copying them into a message of its own: the
  // frame path writes each viewer's frame into a buffer it keeps. `keepAlive` holds the memory
  // the bytes lie in until the task is done with them. The completion runs only once nothing
  // reads the bytes any more (also on failure and cancel), so the caller may write into the
  // same memory again from then on, and not before. The default copies the bytes and send()s.
  virtual void sendShared(std::span<const uint8_t> bytes, std::shared_ptr<const void> keepAlive,
                          WebSocketWriteCompletion completion) {
    (void)keepAlive;
    send(WebSocketMessage::binary(std::vector<uint8_t>(bytes.begin(), bytes.end())),
         std::move(completion));
  }

  // Completes when the peer's pong has arrived (pongs are read while a receive is pending),
  // or with an error, also when no pong arrives in time.
  virtual void sendPing(WebSocketWriteCompletion completion) = 0;

  // Ends the connection for good: pending and later operations complete with the error
  // "cancelled". A code that may appear in a close frame (1000-1003, 1007-1014, 3000-4999)
  // is sent in a closing handshake after the write in progress; any other code, notably 1006
  // ("abnormal closure", which by definition is never sent), drops the connection without
  // a close frame.
  virtual void cancel(uint16_t closeCode, std::string reason = {}) = 0;

  // Like cancel(), and `closed` runs once the connection is gone: after the closing handshake
  // (or its timeout), or at once when nothing is left to close. The default reports at once.
  virtual void close(uint16_t closeCode, std::function<void()> closed) {
    cancel(closeCode);
    if (closed) closed();
  }
};

class WebSocketConnector {
 public:
  virtual ~WebSocketConnector() = default;
  // A new, not yet resumed task.
  virtual std::shared_ptr<WebSocketTask> makeTask(const WebSocketUrl& url) = 0;
};

struct WebSocketOptions {
  // Name resolution, TCP connect, TLS and the upgrade together.
  std::chrono::milliseconds openTimeout = std::chrono::seconds(30);
  // How long a ping waits for its pong.
  std::chrono::milliseconds pongTimeout = std::chrono::seconds(30);
  // How long the closing handshake of cancel() may take before the socket is dropped.
  std::chrono::milliseconds closeTimeout = std::chrono::seconds(2);
  // Larger incoming messages fail the connection.
  std::size_t maxMessageBytes = 16 * 1024 * 1024;
};

// Connections over Boost.Beast, TCP or TLS. TLS verifies the certificate chain against the
// system's trust store (OpenSSL's SSL_CERT_FILE / SSL_CERT_DIR, read when the connector is
// made, point it elsewhere) and the host name (or IP address) of the URL.
std::shared_ptr<WebSocketConnector> makeBeastWebSocketConnector(WebSocketOptions options = {});

}  // namespace cvl
