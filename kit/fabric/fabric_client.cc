// FabricClient: the relay connection, its keep-alive and its reconnection.
#include "kit/fabric/fabric_client.h"

#include <cstdio>
#include <cstdlib>

#include "kit/diagnostics/log.h"
#include "kit/diagnostics/permissions.h"
#include "kit/fabric/dial_url.h"
#include "kit/fabric/relay_frame.h"
#include "kit/fabric/viewer_conn.h"

namespace cvl {

namespace {

// The completion of a write to the relay: a failed write is only worth a verbose line (the
// link's own notices say what became of the link), and the sender hears either way.
auto afterWrite(std::function<void()> done) {
  return [done = std::move(done)](std::optional<WebSocketError> error) {
    if (error) Log::vlog("[fabric] send error:", error->description);
    if (done) done();
  };
}

FabricClient::Options withDefaults(FabricClient::Options options) {
  if (!options.scheduler) options.scheduler = Scheduler::system();
  return options;
}

}  // namespace

std::shared_ptr<FabricClient> FabricClient::make(FabricConfig config,
                                                 std::shared_ptr<FabricEngine> engine,
                                                 Options options) {
  std::shared_ptr<FabricClient> client(
      new FabricClient(std::move(config), std::move(engine), std::move(options)));
  std::weak_ptr<FabricClient> weak = client;
  client->engine_->setOnFrame([weak](const FabricEngine::Frame& frame) {
    if (auto self = weak.lock()) self->broadcastFrame(frame);
  });
  return client;
}

FabricClient::FabricClient(FabricConfig config, std::shared_ptr<FabricEngine> engine,
                           Options options)
    : config_(std::move(config)),
      engine_(std::move(engine)),
      options_(withDefaults(std::move(options))),
      sessionId_(randomUuidId("ses_")),
      relayQueue_("cvl.fabric.relay", options_.scheduler),
      socketWriteQueue_("cvl.fabric.socket-write", options_.scheduler) {
  if (!options_.canInject) options_.canInject = [] { return Permissions::hasAccessibility(false); };
  if (!options_.onReplaced) {
    options_.onReplaced = [] {
      std::fflush(nullptr);
      std::_Exit(0);
    };
  }
  connector_ = options_.connector;
}

FabricClient::~FabricClient() {
  std::lock_guard guard(lock_);
  pingTimer_.cancel();
}

void FabricClient::start() {
  if (!FabricConfigLoader::isComplete(config_)) {
    Log::line("[fabric] not configured \u2014 staying single-machine");
    return;
  }
  {
    std::lock_guard guard(lock_);
    stopped_ = false;
  }
  connect();
}

void FabricClient::stop() {
  TimerHandle ping;
  {
    std::lock_guard guard(lock_);
    stopped_ = true;
    ping = std::exchange(pingTimer_, {});
  }
  ping.cancel();
  dropAll("connector-stopping");
  cancelTask(1001);
}

void FabricClient::connect() {
  int64_t gen;
  {
    std::lock_guard guard(lock_);
    if (stopped_) return;
    gen = ++connGen_;
  }
  std::string base = DialUrl::baseUrl(config_.relayUrl);
  // The full address carries the token: it goes to the connector only, never to the log.
  auto url = parseWebSocketUrl(DialUrl::hostUrl(config_));
  if (!url) {
    Log::line("[fabric] bad relay URL");
    scheduleReconnect(gen, "bad-url");
    return;
  }
  Log::line("[fabric] dialing", base, "as", config_.deviceId);

  std::shared_ptr<WebSocketTask> task;
  {
    std::lock_guard guard(lock_);
    if (gen != connGen_) return;
    linkUp_ = false;
    if (!connector_) connector_ = makeBeastWebSocketConnector();
    task = connector_->makeTask(*url);
    task_ = task;  // the previous task, if any, is only released
  }
  task->resume();
  startPing(gen);
  armReceive(gen, task);
}

void FabricClient::armReceive(int64_t gen, const std::shared_ptr<WebSocketTask>& task) {
  std::weak_ptr<FabricClient> weak = weak_from_this();
  task->receive([weak, gen](WebSocketReceived received) {
    auto self = weak.lock();
    if (!self) return;
    // Relay messages are handled off the network thread, one at a time: the next receive is
    // armed only once this one has been handled.
    self->relayQueue_.async([weak, gen, received = std::move(received)]() mutable {
      if (auto self = weak.lock()) self->handleReceive(gen, std::move(received));
    });
  });
}

void FabricClient::handleReceive(int64_t gen, WebSocketReceived received) {
  bool logUp = false;
  {
    std::lock_guard guard(lock_);
    if (gen != connGen_) return;
    if (received.ok() && !linkUp_) {
      linkUp_ = true;
      logUp = true;
    }
  }
  if (!received.ok()) {
    scheduleReconnect(gen, received.error->description);
    return;
  }
  if (logUp) Log::line("[fabric] link UP \u2014 relay accepted host " + config_.deviceId);

  // Text messages are classified by their UTF-8 bytes, exactly like binary ones.
  if (auto message = classifyRelayMessage(received.message.data)) {
    if (auto* control = std::get_if<ControlMessage>(&*message)) {
      handleControl(control->object);
    } else {
      auto& client = std::get<ClientMessage>(*message);
      fromClient(client.clientId, client.message);
    }
  }

  std::shared_ptr<WebSocketTask> task;
  {
    std::lock_guard guard(lock_);
    if (gen != connGen_) return;
    task = task_;
  }
  if (task) armReceive(gen, task);
}

void FabricClient::handleControl(const nlohmann::json& object) {
  auto control = decodeRelayControl(object);
  if (!control) return;
  if (auto* join = std::get_if<ClientJoin>(&*control)) {
    addClient(join->clientId, join->role);
  } else if (auto* gone = std::get_if<ClientLeave>(&*control)) {
    dropClient(gone->clientId, gone->reason);
  } else {
    Log::line("[fabric] replaced by a newer host instance \u2014 exiting");
    leave(options_.onReplaced);
  }
}

void FabricClient::startPing(int64_t gen) {
  std::weak_ptr<FabricClient> weak = weak_from_this();
  auto interval = options_.pingInterval;
  // Ticks run on the write queue, where every ping is issued anyway.
  TimerHandle timer = socketWriteQueue_.every(interval, interval, [weak, gen] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<WebSocketTask> task;
    {
      std::lock_guard guard(self->lock_);
      if (gen != self->connGen_) return;
      task = self->task_;
    }
    if (!task) return;
    task->sendPing([weak, gen](std::optional<WebSocketError> error) {
      if (!error) return;
      auto self = weak.lock();
      if (!self) return;
      self->relayQueue_.async([weak, gen, reason = "ping-failed: " + error->description] {
        if (auto self = weak.lock()) self->scheduleReconnect(gen, reason);
      });
    });
  });
  TimerHandle previous;
  {
    std::lock_guard guard(lock_);
    if (gen == connGen_) {
      previous = std::exchange(pingTimer_, timer);
    } else {
      previous = timer;  // the connection went down meanwhile
    }
  }
  previous.cancel();
}

void FabricClient::cancelTask(uint16_t closeCode, std::function<void()> closed) {
  std::shared_ptr<WebSocketTask> task;
  {
    std::lock_guard guard(lock_);
    task = std::exchange(task_, nullptr);
  }
  if (task) {
    task->close(closeCode, std::move(closed));
  } else if (closed) {
    closed();
  }
}

void FabricClient::leave(std::function<void()> done) {
  // `done` runs once, when the steps below are finished or when the time is up.
  struct Once {
    std::mutex mutex;
    std::function<void()> done;
    void run() {
      std::function<void()> f;
      {
        std::lock_guard guard(mutex);
        f = std::exchange(done, nullptr);
      }
      if (f) f();
    }
  };
  auto once = std::make_shared<Once>();
  once->done = std::move(done);
  relayQueue_.asyncAfter(options_.leaveTimeout, [once] { once->run(); });

  std::weak_ptr<FabricClient> weak = weak_from_this();
  TimerHandle ping;
  std::vector<std::shared_ptr<ViewerConn>> viewers;
  {
    std::lock_guard guard(lock_);
    stopped_ = true;
    ++connGen_;  // the connection's callbacks fall silent
    ping = std::exchange(pingTimer_, {});
    viewers = std::exchange(viewers_, {});
    controllerClientId_.reset();
    for (const auto& v : viewers) v->gone = true;
    // Under the lock, so that input let through before is handed over before the release.
    engine_->shutdown([weak, once] {
      if (auto self = weak.lock()) {
        self->cancelTask(1001, [once] { once->run(); });
      } else {
        once->run();
      }
    });
  }
  ping.cancel();
}

void FabricClient::scheduleReconnect(int64_t gen, const std::string& reason) {
  TimerHandle ping;
  {
    std::lock_guard guard(lock_);
    if (stopped_ || gen != connGen_) return;
    ++connGen_;
    ping = std::exchange(pingTimer_, {});
  }
  Log::line("[fabric] link down (" + reason + "), retrying in 4s");
  ping.cancel();
  dropAll("relay-down");
  cancelTask(1006);
  std::weak_ptr<FabricClient> weak = weak_from_this();
  relayQueue_.asyncAfter(options_.reconnectDelay, [weak] {
    if (auto self = weak.lock()) self->connect();
  });
}

void FabricClient::sendToClient(uint32_t clientId, uint8_t tag, std::span<const uint8_t> body,
                                Done done) {
  if (!currentTask()) {
    if (done) done();
    return;
  }
  sendFrame(frameToClient(clientId, tag, body), std::move(done));
}

void FabricClient::sendFrame(Bytes bytes, Done done) {
  auto task = currentTask();
  if (!task) {
    if (done) done();
    return;
  }
  auto frame = std::make_shared<Bytes>(std::move(bytes));
  socketWriteQueue_.async([task, frame, done = std::move(done)]() mutable {
    task->send(WebSocketMessage::binary(std::move(*frame)), afterWrite(std::move(done)));
  });
}

void FabricClient::sendShared(std::span<const uint8_t> frame, std::shared_ptr<const void> keepAlive,
                              Done done) {
  auto task = currentTask();
  if (!task) {
    if (done) done();
    return;
  }
  socketWriteQueue_.async(
      [task, frame, keepAlive = std::move(keepAlive), done = std::move(done)]() mutable {
        task->sendShared(frame, std::move(keepAlive), afterWrite(std::move(done)));
      });
}

std::shared_ptr<WebSocketTask> FabricClient::currentTask() {
  std::lock_guard guard(lock_);
  return task_;
}

}  // namespace cvl
