// FabricClient: the viewers — key agreement, controller rules, application messages and the
// sealed fan-out of replies, broadcasts and frames.
#include <algorithm>

#include "kit/diagnostics/log.h"
#include "kit/e2e/envelope.h"
#include "kit/fabric/fabric_client.h"
#include "kit/fabric/frame_message.h"
#include "kit/fabric/relay_frame.h"
#include "kit/fabric/viewer_message.h"

namespace cvl {

namespace {

using json = nlohmann::json;

// The plaintext of a sealed message: the kind byte, then the compact JSON. Nothing when the
// value cannot be serialised (for example a clipboard text that is not valid UTF-8).
std::shared_ptr<const Bytes> serialise(const json& message) {
  std::string text;
  try {
    text = message.dump();
  } catch (const json::exception&) {
    return nullptr;
  }
  auto plaintext = std::make_shared<Bytes>();
  plaintext->reserve(text.size() + 1);
  plaintext->push_back(FabricKind::text);
  plaintext->insert(plaintext->end(), text.begin(), text.end());
  return plaintext;
}

// A message that cannot be sealed (the channel's send counter is spent, or the cipher failed)
// is dropped. The normal log stays quiet about it, since it can only repeat for that viewer
// until it connects again; the verbose log says it.
void logDroppedSeal(uint32_t clientId, const std::exception& error) {
  Log::vlog("[fabric] client " + std::to_string(clientId) + ": a message could not be sealed (" +
            error.what() + ") \u2014 dropped");
}

}  // namespace

// ---- The viewer map ----

void FabricClient::addClient(uint32_t clientId, const std::string& role) {
  auto record = std::make_shared<ViewerConn>(clientId, normaliseRole(role), options_.scheduler);
  std::shared_ptr<ViewerConn> previous;
  {
    std::lock_guard guard(lock_);
    auto it = std::find_if(viewers_.begin(), viewers_.end(),
                           [&](const auto& v) { return v->clientId == clientId; });
    if (it != viewers_.end()) {
      previous = std::exchange(*it, record);
      previous->gone = true;
      // The controller id is kept: a rejoining controller is the controller again at once.
      // What its old connection held is let go all the same: the new one knows nothing of it.
      if (controllerClientId_ == clientId) engine_->releaseHeld();
    } else {
      viewers_.push_back(record);
    }
  }
  Log::line("[fabric] client", clientId, previous ? "rejoined as" : "joined as", record->role);
}

void FabricClient::dropClient(uint32_t clientId, const std::string& reason) {
  dropViewer(clientId, reason, nullptr);
}

void FabricClient::dropViewer(uint32_t clientId, const std::string& reason,
                              const std::shared_ptr<ViewerConn>& expected) {
  std::shared_ptr<ViewerConn> removed;
  size_t left;
  {
    std::lock_guard guard(lock_);
    auto it = std::find_if(viewers_.begin(), viewers_.end(),
                           [&](const auto& v) { return v->clientId == clientId; });
    // A drop meant for one record (its key was rejected) leaves a newer record alone.
    if (expected && (it == viewers_.end() || *it != expected)) return;
    if (it != viewers_.end()) {
      removed = *it;
      removed->gone = true;
      viewers_.erase(it);
    }
    left = viewers_.size();
    if (left == 0) {
      // The last one: capture stops and everything held is let go (view-only ends).
      controllerClientId_.reset();
      engine_->stopCapture();
      engine_->releaseAll();
    } else if (controllerClientId_ == clientId) {
      auto heir = std::find_if(viewers_.begin(), viewers_.end(),
                               [](const auto& v) { return mayDrive(v->role); });
      setControllerLocked(heir != viewers_.end() ? std::optional((*heir)->clientId)
                                                 : std::nullopt);
    }
  }
  if (removed) Log::line("[fabric] client", clientId, "left (" + reason + ")");
  if (removed) {
    bool askedForRefresh;
    {
      std::lock_guard guard(removed->frameMutex);
      askedForRefresh = removed->refreshQuality != 0;
    }
    if (askedForRefresh) updateRefreshQualities();
  }
  if (left != 0) broadcastSession();
}

void FabricClient::dropAll(const std::string& reason) {
  std::vector<uint32_t> ids;
  {
    std::lock_guard guard(lock_);
    for (const auto& v : viewers_) ids.push_back(v->clientId);
  }
  for (uint32_t id : ids) dropClient(id, reason);
}

std::shared_ptr<ViewerConn> FabricClient::viewer(uint32_t clientId) {
  std::lock_guard guard(lock_);
  for (const auto& v : viewers_) {
    if (v->clientId == clientId) return v;
  }
  return nullptr;
}

std::shared_ptr<ViewerConn> FabricClient::viewerByPid(const std::string& pid) {
  std::lock_guard guard(lock_);
  for (const auto& v : viewers_) {
    if (v->pid == pid) return v;
  }
  return nullptr;
}

std::optional<uint32_t> FabricClient::controllerClientId() {
  std::lock_guard guard(lock_);
  return controllerClientId_;
}

std::vector<std::shared_ptr<ViewerConn>> FabricClient::snapshotViewers() {
  std::lock_guard guard(lock_);
  return viewers_;
}

bool FabricClient::isDrivingController(const ViewerConn& viewer) {
  std::lock_guard guard(lock_);
  return isDrivingControllerLocked(viewer);
}

bool FabricClient::isDrivingControllerLocked(const ViewerConn& viewer) {
  return !stopped_ && !viewer.gone && controllerClientId_ == viewer.clientId &&
         mayDrive(viewer.role);
}

void FabricClient::setControllerLocked(std::optional<uint32_t> clientId) {
  if (controllerClientId_ == clientId) return;
  // Whatever the controller held stays down no longer than its control: released before
  // the new controller's input, which is handed over only after this under the same lock.
  if (controllerClientId_) engine_->releaseHeld();
  controllerClientId_ = clientId;
}

void FabricClient::makeController(const std::shared_ptr<ViewerConn>& viewer) {
  {
    std::lock_guard guard(lock_);
    setControllerLocked(viewer->clientId);
  }
  sendInputStatus(viewer);
}

// ---- Messages from a viewer ----

void FabricClient::fromClient(uint32_t clientId, std::span<const uint8_t> message) {
  auto record = viewer(clientId);
  if (!record || message.empty()) return;
  uint8_t tag = message[0];
  if (tag != FabricTag::hello && tag != FabricTag::sealed) return;
  Bytes body(message.begin() + 1, message.end());
  std::weak_ptr<FabricClient> weak = weak_from_this();
  record->queue.async([weak, record, tag, body = std::move(body)] {
    auto self = weak.lock();
    if (!self) return;
    if (tag == FabricTag::hello) {
      self->handleHello(record, body);
    } else {
      self->handleSealed(record, body);
    }
  });
}

void FabricClient::handleHello(const std::shared_ptr<ViewerConn>& viewer, const Bytes& body) {
  // Only the first hello of a live record counts.
  if (viewer->gone || viewer->channel || viewer->keying) return;
  viewer->keying = true;
  std::shared_ptr<Channel> channel;
  try {
    channel = viewer->handshake.complete(body);
  } catch (const std::exception&) {
    dropViewer(viewer->clientId, "bad-key", viewer);
    return;
  }
  viewer->channel = channel;
  const auto& publicKey = viewer->handshake.publicKey();
  sendToClient(viewer->clientId, FabricTag::hello, publicKey);
  Log::vlog("[fabric] client " + std::to_string(viewer->clientId) + " E2E phrase:",
            channel->phrase().shortForm());
  keyAgreementComplete(viewer);
}

void FabricClient::keyAgreementComplete(const std::shared_ptr<ViewerConn>& viewer) {
  {
    std::lock_guard guard(lock_);
    // A viewer that has already left starts nothing: its departure may have stopped capture
    // already. Otherwise the start is handed over before any departure can stop it again.
    if (viewer->gone || stopped_) return;
    // Capture starts in the background (that may take seconds); its frames reach this
    // viewer only after the greeting below, which is sealed right here on its queue.
    engine_->startCapture();
    if (!controllerClientId_ && mayDrive(viewer->role)) setControllerLocked(viewer->clientId);
  }
  if (auto text = serialise(
          {{"type", "you"}, {"participantId", viewer->pid}, {"sessionId", sessionId_}})) {
    sealAndSendNow(viewer, *text, nullptr);
  }
  broadcastSession();
  if (isDrivingController(*viewer)) sendInputStatus(viewer);
}

void FabricClient::handleSealed(const std::shared_ptr<ViewerConn>& viewer, const Bytes& body) {
  if (viewer->gone || !viewer->channel) return;
  auto plaintext = viewer->channel->open(decodeEnvelope(body));
  if (!plaintext || plaintext->empty()) return;
  uint8_t kind = (*plaintext)[0];
  std::span<const uint8_t> content(plaintext->data() + 1, plaintext->size() - 1);
  if (kind == FabricKind::bin) {
    std::weak_ptr<FabricClient> weak = weak_from_this();
    std::lock_guard guard(lock_);
    // Checked and handed over under the lock: a change of control cannot slip in between.
    if (!isDrivingControllerLocked(*viewer)) return;
    engine_->injectBinary(Bytes(content.begin(), content.end()), [weak, viewer](bool resync) {
      auto self = weak.lock();
      if (self && resync) self->reply(viewer, {{"type", "resync-please"}});
    });
    return;
  }
  json message = json::parse(content.begin(), content.end(), nullptr, false);
  if (!message.is_object()) return;
  handleMessage(viewer, message);
}

void FabricClient::handleMessage(const std::shared_ptr<ViewerConn>& viewer,
                                 const json& message) {
  namespace VM = ViewerMessage;
  // The engine answers on its own sequences; answers go on to the viewer from there.
  std::weak_ptr<FabricClient> weak = weak_from_this();
  std::string type = VM::type(message);
  if (type == "monitors") {
    engine_->monitorsMessage([weak, viewer](json report) {
      if (auto self = weak.lock()) self->reply(viewer, report);
    });
  } else if (type == "settings") {
    applyFrameSettings(viewer, message);
    engine_->applySettings(
        VM::number(message, "fps"), VM::integer(message, "quality"),
        VM::integer(message, "maxEdge"), VM::integer(message, "monitor"),
        [weak](std::optional<FabricEngine::FpsApplied> applied) {
          auto self = weak.lock();
          if (!self || !applied) return;
          self->broadcastJSON({{"type", "fps-applied"},
                               {"asked", applied->asked},
                               {"applied", applied->applied},
                               {"ceiling", applied->ceiling}});
        });
  } else if (type == "viewonly") {
    engine_->setViewOnly(VM::boolean(message, "on"), [weak](bool on) {
      if (auto self = weak.lock()) self->broadcastJSON({{"type", "viewonly"}, {"on", on}});
    });
  } else if (type == "clip-request") {
    engine_->clipboardText([weak, viewer](std::string text) {
      if (auto self = weak.lock()) {
        self->reply(viewer, {{"type", "clipboard"}, {"text", std::move(text)}});
      }
    });
  } else if (type == "clipset") {
    if (!isDrivingController(*viewer)) return;
    engine_->setClipboard(VM::string(message, "text").value_or(""), [weak, viewer] {
      if (auto self = weak.lock()) self->reply(viewer, {{"type", "clipboard-set"}, {"ok", true}});
    });
  } else if (auto event = VM::inputEvent(message)) {
    std::lock_guard guard(lock_);
    // Checked and handed over under the lock: a change of control cannot slip in between.
    if (!isDrivingControllerLocked(*viewer)) return;
    engine_->injectEvent(std::move(*event));
  } else if (type == "control-request" || type == "control-reclaim") {
    if (mayDrive(viewer->role)) makeController(viewer);
    broadcastSession();
  } else if (type == "control-pass") {
    auto to = VM::string(message, "to");
    auto target = to ? viewerByPid(*to) : nullptr;
    if (!target) return;
    if (mayDrive(target->role)) makeController(target);
    broadcastSession();
  }
}

// ---- Messages to viewers ----

json FabricClient::sessionDescribe() {
  std::lock_guard guard(lock_);
  json participants = json::array();
  json controller = nullptr;
  for (const auto& v : viewers_) {
    bool driving = controllerClientId_ == v->clientId;
    if (driving) controller = v->pid;
    participants.push_back({{"id", v->pid},
                            {"name", "Remote (" + v->role + ")"},
                            {"role", v->role},
                            {"capabilities", {"display", "pointer", "keyboard"}},
                            {"joinedAt", 0},
                            {"driving", driving}});
  }
  return {{"id", sessionId_},
          {"hostDeviceId", config_.deviceId},
          {"controllerId", controller},
          {"participants", std::move(participants)},
          {"pending", json::array()},
          {"composition", json::object()},
          {"createdAt", 0}};
}

void FabricClient::broadcastSession() {
  broadcastJSON({{"type", "session"}, {"session", sessionDescribe()}});
}

void FabricClient::sendInputStatus(const std::shared_ptr<ViewerConn>& viewer) {
  reply(viewer, {{"type", "input-status"}, {"canInject", options_.canInject()}});
}

void FabricClient::reply(const std::shared_ptr<ViewerConn>& viewer, const json& message) {
  if (auto text = serialise(message)) sealAndSendRaw(viewer, std::move(text));
}

void FabricClient::broadcastJSON(const json& message) {
  auto viewers = snapshotViewers();
  if (viewers.empty()) return;
  auto text = serialise(message);
  if (!text) return;
  for (const auto& v : viewers) sealAndSendRaw(v, text);
}

void FabricClient::sealAndSendRaw(const std::shared_ptr<ViewerConn>& viewer,
                                  std::shared_ptr<const Bytes> plaintext, Done done) {
  std::weak_ptr<FabricClient> weak = weak_from_this();
  viewer->queue.async(
      [weak, viewer, plaintext = std::move(plaintext), done = std::move(done)]() mutable {
        auto self = weak.lock();
        if (!self) return;
        self->sealAndSendNow(viewer, *plaintext, std::move(done));
      });
}

void FabricClient::sealAndSendNow(const std::shared_ptr<ViewerConn>& viewer,
                                  const Bytes& plaintext, Done done) {
  // Viewers that have not completed their key agreement receive nothing.
  if (viewer->gone || !viewer->channel) {
    if (done) done();
    return;
  }
  Bytes frame;
  try {
    frame = sealedRelayFrame(*viewer->channel, viewer->clientId, plaintext);
  } catch (const std::exception& e) {
    logDroppedSeal(viewer->clientId, e);
    if (done) done();
    return;
  }
  sendFrame(std::move(frame), std::move(done));
}

// ---- Frames ----

void FabricClient::applyFrameSettings(const std::shared_ptr<ViewerConn>& viewer,
                                      const json& message) {
  namespace VM = ViewerMessage;
  // Keys a message leaves out keep their values: these are standing wishes, and a viewer that
  // never sends them gets every frame exactly as before.
  bool refreshChanged = false;
  {
    std::lock_guard guard(viewer->frameMutex);
    if (message.contains("skipUnchanged")) {
      viewer->skipUnchanged = VM::boolean(message, "skipUnchanged");
    }
    if (message.contains("refreshQuality")) {
      // An integer, clamped to 1..100; anything else (null, false) turns it off.
      auto asked = VM::integer(message, "refreshQuality");
      int64_t quality = asked ? std::clamp<int64_t>(*asked, 1, 100) : 0;
      refreshChanged = quality != viewer->refreshQuality;
      viewer->refreshQuality = quality;
    }
  }
  if (refreshChanged) updateRefreshQualities();
}

void FabricClient::updateRefreshQualities() {
  // Made and handed over under one lock, so that the engine gets the lists in the order
  // they were made even when viewers' queues change them at once.
  std::lock_guard order(refreshMutex_);
  std::vector<int64_t> qualities;
  for (const auto& v : snapshotViewers()) {
    std::lock_guard guard(v->frameMutex);
    if (v->refreshQuality != 0) qualities.push_back(v->refreshQuality);
  }
  engine_->setRefreshQualities(std::move(qualities));
}

std::shared_ptr<const ReusableBuffer> FabricClient::writeFrame(const FabricEngine::Frame& frame) {
  std::shared_ptr<ReusableBuffer> buffer = framePlaintexts_.take();
  writeFramePlaintext(frame.jpeg, frame.width, frame.height, *buffer);
  return buffer;
}

void FabricClient::broadcastFrame(const FabricEngine::Frame& frame) {
  auto viewers = snapshotViewers();
  std::lock_guard frames(framesMutex_);
  if (viewers.empty()) {
    // Nobody to send to: nothing is kept, so the next frame is written afresh.
    lastFrame_.reset();
    sharpFrames_.clear();
    return;
  }
  const TimePoint now = options_.scheduler->now();

  if (frame.refreshQuality != 0) {
    // The sharper frame of a still picture, for the viewers that asked for this quality.
    auto sharp = writeFrame(frame);
    // One kept per quality, and only for the qualities viewers still ask for: a viewer that
    // changes its wish over and over while the screen stands still piles nothing up.
    std::vector<int64_t> asked;
    for (const auto& v : viewers) {
      std::lock_guard guard(v->frameMutex);
      asked.push_back(v->refreshQuality);
    }
    std::erase_if(sharpFrames_, [&](const auto& kept) {
      return kept.first == frame.refreshQuality ||
             std::find(asked.begin(), asked.end(), kept.first) == asked.end();
    });
    sharpFrames_.emplace_back(frame.refreshQuality, sharp);
    for (const auto& v : viewers) {
      {
        std::lock_guard guard(v->frameMutex);
        if (v->refreshQuality != frame.refreshQuality) continue;
        v->sharp = true;
      }
      offerFrame(v, sharp);
    }
    return;
  }

  // The same picture as last time is the same message as last time.
  if (!frame.unchanged || !lastFrame_) {
    lastFrame_ = writeFrame(frame);
    sharpFrames_.clear();
  }
  for (const auto& v : viewers) {
    std::shared_ptr<const ReusableBuffer> message = lastFrame_;
    {
      std::lock_guard guard(v->frameMutex);
      if (!frame.unchanged) v->sharp = false;
      bool keepAliveDue = !v->lastFrameAt || now - *v->lastFrameAt >= UNCHANGED_KEEPALIVE;
      if (frame.unchanged && v->skipUnchanged && !keepAliveDue) continue;
      // A viewer that has the sharper picture keeps it while the picture stands still.
      if (v->sharp) {
        for (const auto& [quality, sharp] : sharpFrames_) {
          if (quality == v->refreshQuality) message = sharp;
        }
      }
    }
    offerFrame(v, message);
  }
}

size_t FabricClient::frameMessagesKept() {
  std::lock_guard frames(framesMutex_);
  return (lastFrame_ ? 1 : 0) + sharpFrames_.size();
}

void FabricClient::offerFrame(const std::shared_ptr<ViewerConn>& viewer,
                              const std::shared_ptr<const ReusableBuffer>& frame) {
  {
    std::lock_guard guard(viewer->frameMutex);
    if (viewer->frameBusy) {
      // The link has not taken the previous frame yet: keep only the newest one.
      viewer->waitingFrame = frame;
      return;
    }
    viewer->frameBusy = true;
  }
  std::weak_ptr<FabricClient> weak = weak_from_this();
  viewer->queue.async([weak, viewer, frame] {
    if (auto self = weak.lock()) self->sealAndSendFrame(viewer, *frame);
  });
}

void FabricClient::sealAndSendFrame(const std::shared_ptr<ViewerConn>& viewer,
                                    const ReusableBuffer& plaintext) {
  std::weak_ptr<FabricClient> weak = weak_from_this();
  std::weak_ptr<ViewerConn> weakViewer = viewer;
  Done done = [weak, weakViewer] {
    auto self = weak.lock();
    auto viewer = weakViewer.lock();
    if (self && viewer) self->frameWritten(viewer);
  };
  // Viewers that have not completed their key agreement receive nothing.
  if (viewer->gone || !viewer->channel) return done();
  try {
    // Sealed straight into the viewer's own buffer; the socket writes it from there.
    writeSealedRelayFrame(*viewer->channel, viewer->clientId, plaintext.bytes(), viewer->frameOut);
  } catch (const std::exception& e) {
    logDroppedSeal(viewer->clientId, e);
    return done();
  }
  {
    // Only a frame that goes out counts: one offered before the key agreement does not.
    std::lock_guard guard(viewer->frameMutex);
    viewer->lastFrameAt = options_.scheduler->now();
  }
  sendShared(viewer->frameOut.bytes(), viewer, std::move(done));
}

void FabricClient::frameWritten(const std::shared_ptr<ViewerConn>& viewer) {
  framesWritten_.fetch_add(1);
  framesWritten_.notify_all();
  std::shared_ptr<const ReusableBuffer> next;
  {
    std::lock_guard guard(viewer->frameMutex);
    viewer->frameBusy = false;
    next = std::move(viewer->waitingFrame);
    viewer->waitingFrame.reset();
  }
  if (next) offerFrame(viewer, next);
}

}  // namespace cvl
