#pragma once
// The host's side of the relay fabric: one outgoing WebSocket to the relay (dialled with the
// device id and token), kept alive with pings and dialled again 4 s after any failure; the
// viewers the relay announces, each with its own key agreement, sealed channel and queue; the
// controller rules; the viewers' application messages; the fan-out of frames.
//
// One instance per process, made with make() and shared; every asynchronous callback holds it
// weakly, and callbacks of one connection carry that connection's generation so that an
// abandoned connection never acts. Any thread may call the public operations.
//
// Queues: relay messages are handled on "cvl.fabric.relay", one at a time in arrival order;
// every send and ping leaves from "cvl.fabric.socket-write"; viewer work runs on each
// viewer's "cvl.viewer.<id>"; frames arrive on the engine's frame loop; the engine's answers
// arrive on its sequences and are posted on to the viewer they are for. Nothing here waits
// for the engine. `lock_` guards the viewer map, the controller, the generation and the
// connection state; it is never held across the handshake, the network or anything that
// blocks. It is held while handing the engine the requests that must stay in order with a
// change of control (input, releases, capture on and off): those only post.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/base/buffer_pool.h"
#include "kit/base/bytes.h"
#include "kit/base/reusable_buffer.h"
#include "kit/base/serial_queue.h"
#include "kit/fabric/fabric_config.h"
#include "kit/fabric/fabric_engine.h"
#include "kit/fabric/viewer_conn.h"
#include "kit/fabric/websocket.h"

namespace cvl {

class FabricClient : public std::enable_shared_from_this<FabricClient> {
 public:
  struct Options {
    // Makes the connection's WebSocket tasks; the Beast connector when empty, made on the
    // first dial.
    std::shared_ptr<WebSocketConnector> connector;
    std::chrono::milliseconds reconnectDelay = std::chrono::seconds(4);
    std::chrono::milliseconds pingInterval = std::chrono::seconds(15);
    // The "canInject" of "input-status"; Permissions::hasAccessibility(false) when empty.
    std::function<bool()> canInject;
    // Runs once the client has left in order after the "replaced" notice (see leave());
    // ends the process with status 0 when empty.
    std::function<void()> onReplaced;
    // The longest leave() takes before it reports done anyway.
    std::chrono::milliseconds leaveTimeout = std::chrono::seconds(1);
    // Where the client's queues run and how their timers tell time; the system's when empty.
    std::shared_ptr<Scheduler> scheduler;
  };

  // Registers the client as the engine's frame consumer; starts no network activity.
  static std::shared_ptr<FabricClient> make(FabricConfig config,
                                            std::shared_ptr<FabricEngine> engine,
                                            Options options);
  static std::shared_ptr<FabricClient> make(FabricConfig config,
                                            std::shared_ptr<FabricEngine> engine) {
    return make(std::move(config), std::move(engine), Options{});
  }
  ~FabricClient();

  // Begins dialing (or logs that the configuration is incomplete and stays idle for good).
  void start();
  // Ends for good: no more dialing, every viewer dropped, the connection closed with 1001.
  void stop();
  // Ends for good because the process is leaving: no more dialing and no more input, then
  // everything held is released and capture stopped, then the connection is closed with 1001;
  // `done` runs after that, or after Options::leaveTimeout, whichever comes first. Viewers are
  // not dropped one by one (no departure lines): they go with the connection.
  void leave(std::function<void()> done);

  const std::string& sessionId() const { return sessionId_; }

  // ---- Viewers (called for relay messages; public for tests and tools) ----

  // "client-join": records the viewer under a normalised role, replacing an earlier record
  // of the same id together with its keys.
  void addClient(uint32_t clientId, const std::string& role);
  // "client-leave", a rejected key, a lost link: removes the record, hands control on, and
  // stops capture and releases all input when no viewer is left.
  void dropClient(uint32_t clientId, const std::string& reason);
  void dropAll(const std::string& reason);
  // One client message from a data frame: tag hello or sealed, handled on the viewer's queue.
  void fromClient(uint32_t clientId, std::span<const uint8_t> message);

  std::shared_ptr<ViewerConn> viewer(uint32_t clientId);
  std::shared_ptr<ViewerConn> viewerByPid(const std::string& pid);
  std::optional<uint32_t> controllerClientId();

  // The session description: id, hostDeviceId, controllerId, participants (in join order),
  // pending, composition, createdAt.
  nlohmann::json sessionDescribe();
  // Seals `message` for every viewer that has keys, each on its own queue.
  void broadcastJSON(const nlohmann::json& message);
  // One "frame" message, written once (kept as it is while the picture does not change),
  // sealed per keyed viewer. A viewer whose previous frame has not yet been written gets only
  // the newest frame once it has. A viewer that asked for "skipUnchanged" gets an unchanged
  // picture only every UNCHANGED_KEEPALIVE; one that asked for "refreshQuality" gets the
  // refresh frame of its quality, and that sharper picture for as long as it stands still.
  void broadcastFrame(const FabricEngine::Frame& frame);
  static constexpr auto UNCHANGED_KEEPALIVE = std::chrono::seconds(2);
  // How many per-viewer frame copies have left for the link (written, failed, or dropped for
  // a viewer without keys) since the start; for diagnostics and benchmarks.
  uint64_t framesWritten() const { return framesWritten_.load(); }
  // Blocks until framesWritten() differs from `seen`.
  void waitFramesWritten(uint64_t seen) const { framesWritten_.wait(seen); }
  // How many "frame" messages are kept for the picture standing still (the last frame and the
  // sharper ones); for diagnostics and tests.
  size_t frameMessagesKept();

 private:
  FabricClient(FabricConfig config, std::shared_ptr<FabricEngine> engine, Options options);

  using Done = std::function<void()>;

  // Connection lifecycle.
  void connect();
  void armReceive(int64_t gen, const std::shared_ptr<WebSocketTask>& task);
  void handleReceive(int64_t gen, WebSocketReceived received);
  void handleControl(const nlohmann::json& object);
  void startPing(int64_t gen);
  void scheduleReconnect(int64_t gen, const std::string& reason);
  // Clears the current task and cancels it with `closeCode`, outside the lock; `closed` runs
  // once it is gone.
  void cancelTask(uint16_t closeCode, std::function<void()> closed = nullptr);
  // The relay connection of the moment; null while there is none.
  std::shared_ptr<WebSocketTask> currentTask();
  // `done` runs once the frame has been written or dropped.
  void sendToClient(uint32_t clientId, uint8_t tag, std::span<const uint8_t> body,
                    Done done = nullptr);
  // Sends a finished relay frame.
  void sendFrame(Bytes frame, Done done);
  // Sends a finished relay frame that lies in memory kept alive by `keepAlive`; `done` runs
  // once the socket no longer reads it.
  void sendShared(std::span<const uint8_t> frame, std::shared_ptr<const void> keepAlive, Done done);

  // Viewer work (on the viewer's queue).
  void dropViewer(uint32_t clientId, const std::string& reason,
                  const std::shared_ptr<ViewerConn>& expected);
  void handleHello(const std::shared_ptr<ViewerConn>& viewer, const Bytes& body);
  void keyAgreementComplete(const std::shared_ptr<ViewerConn>& viewer);
  void handleSealed(const std::shared_ptr<ViewerConn>& viewer, const Bytes& body);
  void handleMessage(const std::shared_ptr<ViewerConn>& viewer, const nlohmann::json& message);
  bool isDrivingController(const ViewerConn& viewer);
  bool isDrivingControllerLocked(const ViewerConn& viewer);
  // With lock_ held: the controller becomes `clientId` (or nobody); when control leaves a
  // viewer, what it held is released before anyone else's input can reach the engine.
  void setControllerLocked(std::optional<uint32_t> clientId);
  void makeController(const std::shared_ptr<ViewerConn>& viewer);

  void reply(const std::shared_ptr<ViewerConn>& viewer, const nlohmann::json& message);
  void sendInputStatus(const std::shared_ptr<ViewerConn>& viewer);
  void broadcastSession();
  // `plaintext` is the kind byte (text) followed by the JSON, shared by every viewer it goes to.
  void sealAndSendRaw(const std::shared_ptr<ViewerConn>& viewer,
                      std::shared_ptr<const Bytes> plaintext, Done done = nullptr);
  void sealAndSendNow(const std::shared_ptr<ViewerConn>& viewer, const Bytes& plaintext,
                      Done done);
  // Viewer settings that concern its frames ("skipUnchanged", "refreshQuality").
  void applyFrameSettings(const std::shared_ptr<ViewerConn>& viewer, const nlohmann::json& message);
  // Tells the engine the refresh qualities the viewers ask for now.
  void updateRefreshQualities();
  // The plaintext of a "frame" message, in a buffer of the pool.
  std::shared_ptr<const ReusableBuffer> writeFrame(const FabricEngine::Frame& frame);
  void offerFrame(const std::shared_ptr<ViewerConn>& viewer,
                  const std::shared_ptr<const ReusableBuffer>& frame);
  // Seals the frame into the viewer's frameOut and writes it (on the viewer's queue).
  void sealAndSendFrame(const std::shared_ptr<ViewerConn>& viewer, const ReusableBuffer& plaintext);
  void frameWritten(const std::shared_ptr<ViewerConn>& viewer);
  std::vector<std::shared_ptr<ViewerConn>> snapshotViewers();

  const FabricConfig config_;
  const std::shared_ptr<FabricEngine> engine_;
  Options options_;
  const std::string sessionId_;

  SerialQueue relayQueue_;
  SerialQueue socketWriteQueue_;

  std::mutex lock_;
  // Guarded by lock_.
  std::shared_ptr<WebSocketConnector> connector_;
  std::shared_ptr<WebSocketTask> task_;
  std::vector<std::shared_ptr<ViewerConn>> viewers_;  // join order
  std::optional<uint32_t> controllerClientId_;
  bool stopped_ = false;
  bool linkUp_ = false;
  TimerHandle pingTimer_;
  int64_t connGen_ = 0;

  std::atomic<uint64_t> framesWritten_{0};

  // Frames (the engine's frame loop). The plaintexts of the last frame and of the refresh
  // frames of the picture standing still, kept while the picture does not change.
  std::mutex framesMutex_;
  BufferPool framePlaintexts_;
  std::shared_ptr<const ReusableBuffer> lastFrame_;
  std::vector<std::pair<int64_t, std::shared_ptr<const ReusableBuffer>>> sharpFrames_;
  std::mutex refreshMutex_;  // keeps the engine's refresh qualities in the order they were made
};

}  // namespace cvl
