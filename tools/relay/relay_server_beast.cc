// cvlrelay's listener and connections on Boost.Beast (TCP or TLS), one network thread.
#include <openssl/crypto.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>

#include "kit/diagnostics/log.h"
#include "kit/fabric/websocket.h"
#include "tools/relay/relay_hub.h"
#include "tools/relay/relay_server.h"
#include "tools/relay/relay_target.h"
#include "tools/relay/viewer_page.h"

namespace cvl::relay {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace ssl = boost::asio::ssl;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

// From the accepted socket to the upgrade (TLS, request, answer): what a client may take.
constexpr auto OPENING_TIMEOUT = std::chrono::seconds(30);
constexpr std::size_t MAX_MESSAGE_SIZE = 16 * 1024 * 1024;
// An upgrade request carries a few headers and no body.
constexpr std::uint32_t MAX_REQUEST_HEADER_SIZE = 8 * 1024;
constexpr std::uint64_t MAX_REQUEST_BODY_SIZE = 1024;
// Beast's spelling of HTTP/1.1.
constexpr unsigned HTTP_1_1 = 11;

void log(const std::string& line) { Log::line("[relay]", line); }

bool sameSecret(const std::string& given, const std::string& expected) {
  return given.size() == expected.size() &&
         CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}

}  // namespace

struct RelayServer::Impl {
  explicit Impl(RelayConfig c)
      : config(std::move(c)), context(1), acceptor(context), signals(context, SIGINT, SIGTERM),
        hub(config.firstClientId) {}

  void acceptLoop();

  RelayConfig config;
  asio::io_context context;
  std::optional<ssl::context> tls;
  tcp::acceptor acceptor;
  asio::signal_set signals;
  RelayHub hub;
};

namespace {

// What an accepted upgrade is for.
struct Admission {
  bool host = false;
  std::string deviceId;
  std::string role;
};

template <typename Stream>
class Peer : public RelayPeer, public std::enable_shared_from_this<Peer<Stream>> {
 public:
  Peer(RelayServer::Impl& server, Stream&& stream, Admission admission)
      : server_(server), ws_(std::move(stream)), admission_(std::move(admission)) {}

  void accept(http::request<http::string_body> request) {
    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(MAX_MESSAGE_SIZE);
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
      res.set(http::field::server, "cvlrelay");
    }));
    ws_.async_accept(request, [self = this->shared_from_this()](const error_code& ec) {
      if (ec) return;  // the client went away during the upgrade
      self->admitted();
    });
  }

  void sendBinary(Bytes message) override { enqueue(false, std::move(message)); }
  void sendText(std::string message) override {
    enqueue(true, Bytes(message.begin(), message.end()));
  }
  void close(uint16_t code, const std::string& reason) override {
    if (closed_ || closing_) return;
    closing_ = true;
    closeReason_.code = code;
    closeReason_.reason = beast::string_view(reason).substr(0, MAX_CLOSE_REASON_SIZE);
    pumpWrite();
  }
  std::size_t backlog() const override { return backlog_; }

 private:
  void admitted() {
    live_ = true;
    auto self = this->shared_from_this();
    if (admission_.host) {
      server_.hub.hostJoined(admission_.deviceId, self);
    } else {
      clientId_ = server_.hub.viewerJoined(admission_.deviceId, admission_.role, self);
    }
    readLoop();
  }

  void readLoop() {
    ws_.async_read(inbox_, [self = this->shared_from_this()](const error_code& ec, std::size_t) {
      if (ec) return self->gone(ec);
      auto data = self->inbox_.cdata();
      auto* bytes = static_cast<const uint8_t*>(data.data());
      if (!self->closed_) {
        if (self->admission_.host) {
          self->server_.hub.fromHost(self->admission_.deviceId, self.get(), bytes, data.size());
        } else {
          self->server_.hub.fromViewer(self->clientId_, self->ws_.got_text(), bytes,
                                       data.size());
        }
      }
      self->inbox_.consume(self->inbox_.size());
      self->readLoop();
    });
  }

  void gone(const error_code& ec) {
    if (closed_) return;
    closed_ = true;
    queue_.clear();
    backlog_ = 0;
    std::string why = ec == websocket::error::closed
                          ? "closed " + std::to_string(ws_.reason().code)
                          : "connection lost: " + ec.message();
    if (admission_.host) {
      server_.hub.hostLeft(admission_.deviceId, this, why);
    } else {
      server_.hub.viewerLeft(clientId_, "left");
    }
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close();
  }

  void enqueue(bool text, Bytes message) {
    if (closed_ || closing_) return;
    backlog_ += message.size();
    queue_.emplace_back(text, std::move(message));
    pumpWrite();
  }

  void pumpWrite() {
    if (!live_ || writing_ || closed_) return;
    if (queue_.empty()) {
      if (closing_ && !closeSent_) {
        closeSent_ = true;
        writing_ = true;
        ws_.async_close(closeReason_, [self = this->shared_from_this()](const error_code& ec) {
          self->writing_ = false;
          if (ec) self->gone(ec);
        });
      }
      return;
    }
    writing_ = true;
    ws_.text(queue_.front().first);
    ws_.async_write(asio::buffer(queue_.front().second),
                    [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                      self->writing_ = false;
                      if (self->closed_) return;
                      if (ec) return self->gone(ec);
                      self->backlog_ -= self->queue_.front().second.size();
                      self->queue_.pop_front();
                      self->pumpWrite();
                    });
  }

  RelayServer::Impl& server_;
  websocket::stream<Stream> ws_;
  Admission admission_;
  uint32_t clientId_ = 0;
  beast::flat_buffer inbox_;
  std::deque<std::pair<bool, Bytes>> queue_;
  std::size_t backlog_ = 0;
  bool live_ = false;
  bool writing_ = false;
  bool closing_ = false;
  bool closeSent_ = false;
  bool closed_ = false;
  websocket::close_reason closeReason_;
};

// One accepted socket until its upgrade is accepted or refused, or the page is served.
template <typename Stream>
class IncomingConnection : public std::enable_shared_from_this<IncomingConnection<Stream>> {
 public:
  IncomingConnection(RelayServer::Impl& server, Stream&& stream)
      : server_(server), stream_(std::move(stream)) {}

  void start() {
    beast::get_lowest_layer(stream_).expires_after(OPENING_TIMEOUT);
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
      readRequest();
    } else {
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](const error_code& ec) {
                                if (!ec) self->readRequest();
                              });
    }
  }

 private:
  void readRequest() {
    parser_.emplace();
    parser_->header_limit(MAX_REQUEST_HEADER_SIZE);
    parser_->body_limit(MAX_REQUEST_BODY_SIZE);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                       if (ec) return self->refuse(http::status::bad_request, "bad request");
                       self->route(self->parser_->release());
                     });
  }

  void route(http::request<http::string_body> request) {
    RelayTarget target =
        parseRelayTarget(std::string_view(request.target().data(), request.target().size()));
    bool pageRequest = target.endpoint.empty() || target.endpoint == "index.html";
    if (pageRequest && !websocket::is_upgrade(request)) {
      if (request.method() != http::verb::get && request.method() != http::verb::head) {
        return refuse(http::status::method_not_allowed, "method not allowed");
      }
      return servePage(request.method() == http::verb::head);
    }
    if (target.endpoint != "host" && target.endpoint != "view") {
      return refuse(http::status::not_found, "not found");
    }
    if (!websocket::is_upgrade(request)) {
      return refuse(http::status::upgrade_required, "a WebSocket upgrade is required");
    }
    bool host = target.endpoint == "host";
    const std::string what = host ? "host" : "viewer";
    auto param = [&](const char* key) -> std::optional<std::string> {
      auto it = target.query.find(key);
      if (it == target.query.end()) return std::nullopt;
      return it->second;
    };
    auto deviceId = param("deviceId");
    auto token = param("token");
    const DeviceEntry* device = nullptr;
    if (!target.malformed && deviceId) {
      auto it = server_.config.devices.find(*deviceId);
      if (it != server_.config.devices.end()) device = &it->second;
    }
    std::string deviceText = deviceId ? logSafe(*deviceId) : "(none)";
    if (!device || !token) {
      log("refused " + what + " for device " + deviceText + " (unknown device)");
      return refuse(http::status::unauthorized, "unauthorized");
    }
    Admission admission{host, device->deviceId, ""};
    if (host) {
      if (!sameSecret(*token, device->token)) {
        log("refused host for device " + deviceText + " (bad token)");
        return refuse(http::status::unauthorized, "unauthorized");
      }
    } else {
      const ViewerCredential* credential = nullptr;
      for (const auto& c : device->viewers) {
        if (sameSecret(*token, c.token)) credential = &c;
      }
      if (!credential) {
        log("refused viewer for device " + deviceText + " (bad token)");
        return refuse(http::status::unauthorized, "unauthorized");
      }
      admission.role = param("role").value_or(credential->defaultRole());
      if (!credential->allows(admission.role)) {
        log("refused viewer for device " + deviceText + " (role " + logSafe(admission.role) +
            " not allowed)");
        return refuse(http::status::forbidden, "role not allowed");
      }
    }
    auto peer = std::make_shared<Peer<Stream>>(server_, std::move(stream_), std::move(admission));
    peer->accept(std::move(request));
  }

  // The web viewer. Its policy also comes as a header, which can add what a <meta> policy
  // cannot: the page may not be framed by another site.
  void servePage(bool headOnly) {
    auto response = std::make_shared<http::response<http::string_body>>(http::status::ok, HTTP_1_1);
    response->set(http::field::server, "cvlrelay");
    response->set(http::field::content_type, "text/html; charset=utf-8");
    response->set("Content-Security-Policy",
                  std::string(viewerPagePolicy()) + "; frame-ancestors 'none'");
    response->set("X-Content-Type-Options", "nosniff");
    response->set("Referrer-Policy", "no-referrer");
    response->set(http::field::cache_control, "no-cache");
    response->keep_alive(false);
    response->body() = std::string(viewerPage());
    response->prepare_payload();
    if (headOnly) response->body().clear();
    writeAndClose(response);
  }

  void refuse(http::status status, const std::string& text) {
    auto response = std::make_shared<http::response<http::string_body>>(status, HTTP_1_1);
    response->set(http::field::server, "cvlrelay");
    response->set(http::field::content_type, "text/plain");
    response->keep_alive(false);
    response->body() = text + "\n";
    response->prepare_payload();
    writeAndClose(response);
  }

  void writeAndClose(const std::shared_ptr<http::response<http::string_body>>& response) {
    http::async_write(stream_, *response,
                      [self = this->shared_from_this(), response](const error_code&, std::size_t) {
                        error_code ignored;
                        auto& socket = beast::get_lowest_layer(self->stream_).socket();
                        socket.shutdown(tcp::socket::shutdown_both, ignored);
                        socket.close(ignored);
                      });
  }

  RelayServer::Impl& server_;
  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void RelayServer::Impl::acceptLoop() {
  acceptor.async_accept([this](const error_code& ec, tcp::socket s) {
    if (!ec) {
      error_code ignored;
      s.set_option(tcp::no_delay(true), ignored);
      if (tls) {
        using Stream = beast::ssl_stream<beast::tcp_stream>;
        std::make_shared<IncomingConnection<Stream>>(
            *this, Stream(beast::tcp_stream(std::move(s)), *tls))
            ->start();
      } else {
        std::make_shared<IncomingConnection<beast::tcp_stream>>(*this,
                                                                beast::tcp_stream(std::move(s)))
            ->start();
      }
    }
    // Out of descriptors and similar: keep serving the connections that exist.
    acceptLoop();
  });
}

RelayServer::RelayServer(RelayConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}
RelayServer::~RelayServer() = default;

uint16_t RelayServer::listen() {
  auto& config = impl_->config;
  if (config.tlsCert) {
    impl_->tls.emplace(ssl::context::tls_server);
    error_code ec;
    impl_->tls->use_certificate_chain_file(*config.tlsCert, ec);
    if (ec) throw std::runtime_error("cannot load certificate " + *config.tlsCert);
    impl_->tls->use_private_key_file(*config.tlsKey, ssl::context::pem, ec);
    if (ec) throw std::runtime_error("cannot load key " + *config.tlsKey);
  }
  error_code ec;
  auto address = asio::ip::make_address(config.listen, ec);
  if (ec) throw std::runtime_error("bad listen address " + config.listen);
  tcp::endpoint endpoint(address, config.port);
  auto& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol());
  acceptor.set_option(asio::socket_base::reuse_address(true));
  acceptor.bind(endpoint, ec);
  if (ec) {
    throw std::runtime_error("cannot listen on " + config.listen + ":" +
                             std::to_string(config.port) + ": " + ec.message());
  }
  acceptor.listen(asio::socket_base::max_listen_connections);
  return acceptor.local_endpoint().port();
}

void RelayServer::run() {
  impl_->signals.async_wait([this](const error_code&, int) { impl_->context.stop(); });
  impl_->acceptLoop();
  impl_->context.run();
}

}  // namespace cvl::relay
