// WebSocket tasks on Boost.Beast, over TCP or TLS (OpenSSL).
//
// Every connection lives on one network thread (an io_context kept for the whole process),
// so its state needs no lock: the public methods only post to that thread. Reads happen only
// while a receive is pending; writes (messages, pings, the closing handshake) leave one at a
// time from a FIFO.
#include <deque>
#include <map>
#include <thread>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "kit/fabric/websocket.h"

namespace cvl {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = boost::asio::ssl;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

// Beast masks what a client sends in a buffer of this size and writes it a buffer at a time;
// its default of 4 KiB made a system call per 4 KiB of every frame.
constexpr size_t WRITE_BUFFER_BYTES = 256 * 1024;

// The network thread. Never torn down: completions may still run while the process exits.
asio::io_context& networkContext() {
  struct Loop {
    Loop() : guard(asio::make_work_guard(context)) {
      std::thread([this] { context.run(); }).detach();
    }
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard;
  };
  static Loop* loop = new Loop();
  return loop->context;
}

bool isSendableCloseCode(uint16_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

std::string describe(const error_code& ec) {
  if (ec == asio::error::eof || ec == beast::http::error::end_of_stream) {
    return "connection closed by the peer without a close frame";
  }
  if (ec == asio::error::connection_refused) return "connection refused";
  if (ec == asio::error::connection_reset) return "connection reset by the peer";
  if (ec == websocket::error::message_too_big) return "incoming message too big";
  return ec.message();
}

WebSocketError makeError(std::string text) { return WebSocketError{std::move(text)}; }

// What the public handle forwards to; lives on the network thread.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void resume() = 0;
  virtual void receive(WebSocketReceiveCompletion completion) = 0;
  virtual void send(WebSocketMessage message, WebSocketWriteCompletion completion) = 0;
  virtual void sendShared(std::span<const uint8_t> bytes, std::shared_ptr<const void> keepAlive,
                          WebSocketWriteCompletion completion) = 0;
  virtual void ping(WebSocketWriteCompletion completion) = 0;
  virtual void cancel(uint16_t code, std::string reason,
                      std::function<void()> closed = nullptr) = 0;
};

template <typename NextLayer>
class BeastConnection : public Connection,
                        public std::enable_shared_from_this<BeastConnection<NextLayer>> {
  static constexpr bool USES_TLS = !std::is_same_v<NextLayer, beast::tcp_stream>;

 public:
  BeastConnection(WebSocketUrl url, WebSocketOptions options,
                  std::shared_ptr<ssl::context> tls)
      : url_(std::move(url)),
        options_(options),
        tls_(std::move(tls)),
        resolver_(networkContext()),
        ws_(makeStream()),
        openTimer_(networkContext()),
        closeTimer_(networkContext()) {}

  void resume() override {
    post([this] {
      if (state_ != State::idle || failure_) return;
      state_ = State::opening;
      startOpen();
    });
  }

  void receive(WebSocketReceiveCompletion completion) override {
    post([this, completion = std::move(completion)]() mutable {
      if (failure_) return complete(std::move(completion), *failure_);
      if (pendingReceive_) {
        return complete(std::move(completion), makeError("a receive is already pending"));
      }
      pendingReceive_ = std::move(completion);
      pumpRead();
    });
  }

  void send(WebSocketMessage message, WebSocketWriteCompletion completion) override {
    post([this, message = std::move(message), completion = std::move(completion)]() mutable {
      if (failure_) return complete(std::move(completion), *failure_);
      Outgoing item;
      item.message = std::move(message);
      item.completion = std::move(completion);
      queue_.push_back(std::move(item));
      pumpWrite();
    });
  }

  void sendShared(std::span<const uint8_t> bytes, std::shared_ptr<const void> keepAlive,
                  WebSocketWriteCompletion completion) override {
    post([this, bytes, keepAlive = std::move(keepAlive),
          completion = std::move(completion)]() mutable {
      if (failure_) return complete(std::move(completion), *failure_);
      Outgoing item;
      item.borrowed = true;
      item.shared = bytes;
      item.keepAlive = std::move(keepAlive);
      item.completion = std::move(completion);
      queue_.push_back(std::move(item));
      pumpWrite();
    });
  }

  void ping(WebSocketWriteCompletion completion) override {
    post([this, completion = std::move(completion)]() mutable {
      if (failure_) return complete(std::move(completion), *failure_);
      uint64_t seq = ++pingSeq_;
      auto timer = std::make_shared<asio::steady_timer>(networkContext());
      timer->expires_after(options_.pongTimeout);
      timer->async_wait([self = this->shared_from_this(), seq](const error_code& ec) {
        if (ec) return;
        self->pongTimedOut(seq);
      });
      pongWaits_[seq] = PongWait{std::move(completion), timer};
      Outgoing item;
      item.pingSeq = seq;
      queue_.push_back(std::move(item));
      pumpWrite();
    });
  }

  void cancel(uint16_t code, std::string reason, std::function<void()> closed) override {
    post([this, code, reason = std::move(reason), closed = std::move(closed)]() mutable {
      if (closed) {
        if (dropped_) {
          closed();
        } else {
          whenDropped_.push_back(std::move(closed));
        }
      }
      if (failure_) return;
      bool wasOpen = state_ == State::open;
      failAll(makeError("cancelled"));
      if (wasOpen && isSendableCloseCode(code)) {
        closeReason_.code = code;
        closeReason_.reason = beast::string_view(reason).substr(0, MAX_CLOSE_REASON_SIZE);
        state_ = State::closing;
        closeTimer_.expires_after(options_.closeTimeout);
        closeTimer_.async_wait([self = this->shared_from_this()](const error_code& ec) {
          if (!ec) self->dropSocket();
        });
        if (!writing_) startClose();
      } else {
        dropSocket();
      }
    });
  }

 private:
  enum class State { idle, opening, open, closing, done };

  struct Outgoing {
    std::optional<uint64_t> pingSeq;  // a ping, else a message
    WebSocketMessage message;
    // A binary message in memory the sender keeps (sendShared), instead of `message`.
    bool borrowed = false;
    std::span<const uint8_t> shared;
    std::shared_ptr<const void> keepAlive;
    WebSocketWriteCompletion completion;
  };
  struct PongWait {
    WebSocketWriteCompletion completion;
    std::shared_ptr<asio::steady_timer> timer;
  };

  websocket::stream<NextLayer> makeStream() {
    if constexpr (USES_TLS) {
      return websocket::stream<NextLayer>(networkContext(), *tls_);
    } else {
      return websocket::stream<NextLayer>(networkContext());
    }
  }

  template <typename F>
  void post(F work) {
    asio::post(networkContext(),
               [self = this->shared_from_this(), work = std::move(work)]() mutable { work(); });
  }

  static void complete(WebSocketReceiveCompletion completion, WebSocketError error) {
    if (completion) completion(WebSocketReceived{std::move(error), {}});
  }
  static void complete(WebSocketWriteCompletion completion,
                       std::optional<WebSocketError> error) {
    if (completion) completion(std::move(error));
  }

  auto& lowest() { return beast::get_lowest_layer(ws_); }

  void startOpen() {
    openTimer_.expires_after(options_.openTimeout);
    openTimer_.async_wait([self = this->shared_from_this()](const error_code& ec) {
      if (ec || self->state_ != State::opening) return;
      self->fail(makeError("timed out opening the connection"));
    });
    resolver_.async_resolve(
        url_.host, std::to_string(url_.port),
        [self = this->shared_from_this()](const error_code& ec, tcp::resolver::results_type r) {
          if (self->failure_) return;
          if (ec) return self->fail(makeError("cannot resolve " + self->url_.host + ": " +
                                              describe(ec)));
          self->lowest().async_connect(
              r, [self](const error_code& ec, const tcp::endpoint&) { self->connected(ec); });
        });
  }

  void connected(const error_code& ec) {
    if (failure_) return;
    if (ec) {
      return fail(makeError("cannot connect to " + hostAndPort() + ": " + describe(ec)));
    }
    lowest().socket().set_option(tcp::no_delay(true));
    if constexpr (USES_TLS) {
      SSL* native = ws_.next_layer().native_handle();
      error_code addrError;
      asio::ip::make_address(url_.host, addrError);
      if (!addrError) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(native), url_.host.c_str());
      } else {
        SSL_set_tlsext_host_name(native, url_.host.c_str());
        SSL_set_hostflags(native, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(native, url_.host.c_str());
      }
      ws_.next_layer().async_handshake(
          ssl::stream_base::client, [self = this->shared_from_this()](const error_code& ec) {
            if (self->failure_) return;
            if (ec) return self->fail(makeError(self->describeTlsFailure(ec)));
            self->upgrade();
          });
    } else {
      upgrade();
    }
  }

  std::string describeTlsFailure(const error_code& ec) {
    if constexpr (USES_TLS) {
      long result = SSL_get_verify_result(ws_.next_layer().native_handle());
      if (result != X509_V_OK) {
        return std::string("TLS certificate rejected: ") + X509_verify_cert_error_string(result);
      }
    }
    return "TLS handshake failed: " + describe(ec);
  }

  std::string bracketedHost() const {
    return url_.host.find(':') != std::string::npos ? "[" + url_.host + "]" : url_.host;
  }
  std::string hostAndPort() const { return bracketedHost() + ":" + std::to_string(url_.port); }

  void upgrade() {
    ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
      req.set(beast::http::field::user_agent, "cvl-websocket/1");
    }));
    ws_.read_message_max(options_.maxMessageBytes);
    ws_.write_buffer_bytes(WRITE_BUFFER_BYTES);
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
      if (kind == websocket::frame_type::pong) pongReceived(payload);
    });
    bool defaultPort = url_.port == (url_.secure ? 443 : 80);
    std::string hostHeader = defaultPort ? bracketedHost() : hostAndPort();
    ws_.async_handshake(response_, hostHeader, url_.target,
                        [self = this->shared_from_this()](const error_code& ec) {
                          self->upgraded(ec);
                        });
  }

  void upgraded(const error_code& ec) {
    if (failure_) return;
    if (ec == websocket::error::upgrade_declined) {
      return fail(makeError("WebSocket upgrade refused (HTTP " +
                            std::to_string(response_.result_int()) + ")"));
    }
    if (ec) return fail(makeError("WebSocket upgrade failed: " + describe(ec)));
    openTimer_.cancel();
    state_ = State::open;
    pumpWrite();
    pumpRead();
  }

  void pumpRead() {
    if (state_ != State::open || reading_ || !pendingReceive_) return;
    reading_ = true;
    ws_.async_read(inbox_, [self = this->shared_from_this()](const error_code& ec, std::size_t) {
      self->readDone(ec);
    });
  }

  void readDone(const error_code& ec) {
    reading_ = false;
    if (failure_) return;
    if (ec == websocket::error::closed) {
      auto reason = ws_.reason();
      std::string text = "closed by the peer (code " + std::to_string(reason.code);
      if (!reason.reason.empty()) text += ", " + std::string(reason.reason.c_str());
      return fail(makeError(text + ")"));
    }
    if (ec) return fail(makeError(describe(ec)));
    WebSocketReceived received;
    received.message.kind =
        ws_.got_text() ? WebSocketMessage::Kind::text : WebSocketMessage::Kind::binary;
    auto data = inbox_.cdata();
    auto* bytes = static_cast<const uint8_t*>(data.data());
    received.message.data.assign(bytes, bytes + data.size());
    inbox_.consume(inbox_.size());
    auto completion = std::move(pendingReceive_);
    pendingReceive_ = nullptr;
    if (completion) completion(std::move(received));
    pumpRead();
  }

  void pumpWrite() {
    if (state_ != State::open || writing_ || queue_.empty()) return;
    inFlight_ = std::move(queue_.front());
    queue_.pop_front();
    writing_ = true;
    auto self = this->shared_from_this();
    if (inFlight_->pingSeq) {
      pingPayload_ = std::to_string(*inFlight_->pingSeq);
      ws_.async_ping(websocket::ping_data(pingPayload_.c_str()),
                     [self](const error_code& ec) { self->writeDone(ec); });
    } else if (inFlight_->borrowed) {
      ws_.binary(true);
      ws_.async_write(asio::buffer(inFlight_->shared.data(), inFlight_->shared.size()),
                      [self](const error_code& ec, std::size_t) { self->writeDone(ec); });
    } else {
      ws_.binary(inFlight_->message.kind == WebSocketMessage::Kind::binary);
      ws_.async_write(asio::buffer(inFlight_->message.data),
                      [self](const error_code& ec, std::size_t) { self->writeDone(ec); });
    }
  }

  void writeDone(const error_code& ec) {
    writing_ = false;
    std::optional<Outgoing> done = std::move(inFlight_);
    inFlight_.reset();
    // Shared bytes whose write was under way when the connection failed or was cancelled
    // complete only now: until here the stream was still reading them. (An owned message's
    // caller has heard already; its completion is empty.)
    if (failure_ && done && !done->pingSeq) complete(std::move(done->completion), *failure_);
    if (state_ == State::closing) return startClose();
    if (failure_ || !done) return;
    if (ec) return fail(makeError("write failed: " + describe(ec)));
    // A ping completes when its pong arrives; a message when it has been written.
    if (!done->pingSeq) complete(std::move(done->completion), std::nullopt);
    pumpWrite();
  }

  void pongReceived(beast::string_view payload) {
    uint64_t seq = 0;
    for (char c : payload) {
      if (c < '0' || c > '9' || seq > UINT64_MAX / 10) return;
      seq = seq * 10 + static_cast<uint64_t>(c - '0');
    }
    if (payload.empty()) return;
    // A pong answers its ping and every earlier one.
    while (!pongWaits_.empty() && pongWaits_.begin()->first <= seq) {
      auto wait = std::move(pongWaits_.begin()->second);
      pongWaits_.erase(pongWaits_.begin());
      wait.timer->cancel();
      complete(std::move(wait.completion), std::nullopt);
    }
  }

  void pongTimedOut(uint64_t seq) {
    auto it = pongWaits_.find(seq);
    if (it == pongWaits_.end()) return;
    auto wait = std::move(it->second);
    pongWaits_.erase(it);
    complete(std::move(wait.completion), makeError("no pong received in time"));
  }

  void startClose() {
    ws_.async_close(closeReason_, [self = this->shared_from_this()](const error_code&) {
      self->dropSocket();
    });
  }

  // Completes everything pending with `error`; later operations get it at once.
  void failAll(WebSocketError error) {
    failure_ = error;
    state_ = State::done;
    openTimer_.cancel();
    if (auto completion = std::move(pendingReceive_)) {
      pendingReceive_ = nullptr;
      complete(std::move(completion), error);
    }
    // The message being written stays where it is: the write still reads its bytes until it
    // returns, and a close that waits for it sends them whole. The caller of an owned message
    // hears at once; the caller of shared bytes hears when the write has returned (writeDone),
    // since it may write into that memory again from then on.
    if (inFlight_ && !inFlight_->pingSeq && !inFlight_->borrowed) {
      complete(std::exchange(inFlight_->completion, nullptr), error);
    }
    std::deque<Outgoing> queued;
    queued.swap(queue_);
    for (auto& item : queued) {
      if (!item.pingSeq) complete(std::move(item.completion), error);
    }
    auto waits = std::move(pongWaits_);
    pongWaits_.clear();
    for (auto& [seq, wait] : waits) {
      wait.timer->cancel();
      complete(std::move(wait.completion), error);
    }
  }

  void fail(WebSocketError error) {
    if (failure_) return;
    failAll(std::move(error));
    dropSocket();
  }

  void dropSocket() {
    closeTimer_.cancel();
    resolver_.cancel();
    error_code ignored;
    lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
    lowest().close();
    dropped_ = true;
    auto waiting = std::move(whenDropped_);
    whenDropped_.clear();
    for (auto& closed : waiting) closed();
  }

  WebSocketUrl url_;
  WebSocketOptions options_;
  std::shared_ptr<ssl::context> tls_;  // kept alive for the stream
  tcp::resolver resolver_;
  websocket::stream<NextLayer> ws_;
  websocket::response_type response_;
  asio::steady_timer openTimer_;
  asio::steady_timer closeTimer_;
  beast::flat_buffer inbox_;

  State state_ = State::idle;
  std::optional<WebSocketError> failure_;
  WebSocketReceiveCompletion pendingReceive_;
  bool reading_ = false;
  std::deque<Outgoing> queue_;
  std::optional<Outgoing> inFlight_;
  bool writing_ = false;
  std::string pingPayload_;
  uint64_t pingSeq_ = 0;
  std::map<uint64_t, PongWait> pongWaits_;
  websocket::close_reason closeReason_;
  bool dropped_ = false;
  std::vector<std::function<void()>> whenDropped_;
};

class BeastTask : public WebSocketTask {
 public:
  explicit BeastTask(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  ~BeastTask() override { connection_->cancel(1001, {}); }

  void resume() override { connection_->resume(); }
  void receive(WebSocketReceiveCompletion completion) override {
    connection_->receive(std::move(completion));
  }
  void send(WebSocketMessage message, WebSocketWriteCompletion completion) override {
    connection_->send(std::move(message), std::move(completion));
  }
  void sendShared(std::span<const uint8_t> bytes, std::shared_ptr<const void> keepAlive,
                  WebSocketWriteCompletion completion) override {
    connection_->sendShared(bytes, std::move(keepAlive), std::move(completion));
  }
  void sendPing(WebSocketWriteCompletion completion) override {
    connection_->ping(std::move(completion));
  }
  void cancel(uint16_t closeCode, std::string reason) override {
    connection_->cancel(closeCode, std::move(reason));
  }
  void close(uint16_t closeCode, std::function<void()> closed) override {
    connection_->cancel(closeCode, {}, std::move(closed));
  }

 private:
  std::shared_ptr<Connection> connection_;
};

class BeastConnector : public WebSocketConnector {
 public:
  explicit BeastConnector(WebSocketOptions options)
      : options_(options), tls_(std::make_shared<ssl::context>(ssl::context::tls_client)) {
    // A missing trust store shows later, as rejected certificates.
    error_code ignored;
    tls_->set_default_verify_paths(ignored);
    tls_->set_verify_mode(ssl::verify_peer);
    SSL_CTX_set_min_proto_version(tls_->native_handle(), TLS1_2_VERSION);
  }

  std::shared_ptr<WebSocketTask> makeTask(const WebSocketUrl& url) override {
    std::shared_ptr<Connection> connection;
    if (url.secure) {
      connection = std::make_shared<BeastConnection<beast::ssl_stream<beast::tcp_stream>>>(
          url, options_, tls_);
    } else {
      connection = std::make_shared<BeastConnection<beast::tcp_stream>>(url, options_, nullptr);
    }
    return std::make_shared<BeastTask>(std::move(connection));
  }

 private:
  WebSocketOptions options_;
  std::shared_ptr<ssl::context> tls_;
};

}  // namespace

std::shared_ptr<WebSocketConnector> makeBeastWebSocketConnector(WebSocketOptions options) {
  return std::make_shared<BeastConnector>(options);
}

}  // namespace cvl
