#include "tools/relay/relay_hub.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "kit/diagnostics/log.h"
#include "kit/fabric/relay_frame.h"

namespace cvl::relay {

namespace {

std::string dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void log(const std::string& line) { Log::line("[relay]", line); }

}  // namespace

std::string logSafe(const std::string& text) {
  constexpr std::size_t MAX_SHOWN = 64;
  std::string out;
  for (char c : text.substr(0, MAX_SHOWN)) {
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return text.size() > MAX_SHOWN ? out + "..." : out;
}

void RelayHub::sendControl(RelayPeer& host, const nlohmann::json& object) {
  host.sendBinary(controlFrame(object));
}

void RelayHub::hostJoined(const std::string& deviceId, const std::shared_ptr<RelayPeer>& host) {
  Device& device = devices_[deviceId];
  if (device.host) {
    log("host " + logSafe(deviceId) + " replaced by a newer connection");
    sendControl(*device.host, replacedControl());
    device.host->close(CLOSE_REPLACED, "replaced");
  }
  device.host = host;
  log("host " + logSafe(deviceId) + " connected");
  // The first message tells the host it is in; then the viewers already waiting.
  sendControl(*host, {{"t", "host-accepted"}, {"deviceId", deviceId}});
  for (uint32_t id : device.viewers) {
    Viewer& viewer = viewers_.at(id);
    sendControl(*host, clientJoinControl(id, viewer.role));
    viewer.peer->sendText(dump({{"t", "host-online"}}));
  }
}

void RelayHub::hostLeft(const std::string& deviceId, const RelayPeer* host,
                        const std::string& why) {
  auto it = devices_.find(deviceId);
  if (it == devices_.end() || it->second.host.get() != host) return;  // already replaced
  it->second.host.reset();
  log("host " + logSafe(deviceId) + " gone (" + why + ")");
  for (uint32_t id : it->second.viewers) {
    viewers_.at(id).peer->sendText(dump({{"t", "host-offline"}}));
  }
}

void RelayHub::fromHost(const std::string& deviceId, const RelayPeer* host, const uint8_t* data,
                        std::size_t size) {
  auto it = devices_.find(deviceId);
  if (it == devices_.end() || it->second.host.get() != host || size == 0) return;
  uint8_t op = data[0] & RELAY_OP_MASK;
  bool droppable = (data[0] & RelayOp::droppable) != 0;
  if (op == RelayOp::dataBin || op == RelayOp::dataTxt) {
    if (size < DATA_FRAME_HEADER_SIZE) return;
    uint32_t clientId = readU32BE(std::span<const uint8_t>(data, size), 1);
    auto viewer = viewers_.find(clientId);
    if (viewer == viewers_.end() || viewer->second.deviceId != deviceId) return;
    deliver(clientId, viewer->second, data + DATA_FRAME_HEADER_SIZE,
            size - DATA_FRAME_HEADER_SIZE, droppable);
  } else if (op == RelayOp::bcastBin || op == RelayOp::bcastTxt) {
    std::vector<uint32_t> ids = it->second.viewers;  // delivering may drop viewers
    for (uint32_t id : ids) {
      auto viewer = viewers_.find(id);
      if (viewer != viewers_.end()) deliver(id, viewer->second, data + 1, size - 1, droppable);
    }
  }
  // The host sends no control messages; anything else is ignored.
}

void RelayHub::deliver(uint32_t clientId, Viewer& viewer, const uint8_t* data, std::size_t size,
                       bool droppable) {
  std::size_t backlog = viewer.peer->backlog();
  if (droppable && backlog > DROPPABLE_BACKLOG) return;
  if (backlog + size > MAX_BACKLOG) {
    dropViewer(clientId, "backlog", true);
    return;
  }
  viewer.peer->sendBinary(Bytes(data, data + size));
}

uint32_t RelayHub::allocateClientId() {
  while (nextClientId_ == 0 || viewers_.count(nextClientId_)) ++nextClientId_;
  return nextClientId_++;
}

uint32_t RelayHub::viewerJoined(const std::string& deviceId, const std::string& role,
                                const std::shared_ptr<RelayPeer>& viewer) {
  uint32_t id = allocateClientId();
  viewers_[id] = Viewer{deviceId, role, viewer};
  Device& device = devices_[deviceId];
  device.viewers.push_back(id);
  log("viewer " + std::to_string(id) + " joined " + logSafe(deviceId) + " as " + logSafe(role));
  viewer->sendText(dump({{"t", "welcome"}, {"clientId", id}, {"role", role}}));
  if (device.host) {
    sendControl(*device.host, clientJoinControl(id, role));
    viewer->sendText(dump({{"t", "host-online"}}));
  }
  return id;
}

void RelayHub::viewerLeft(uint32_t clientId, const std::string& reason) {
  dropViewer(clientId, reason, false);
}

void RelayHub::dropViewer(uint32_t clientId, const std::string& reason, bool closePeer) {
  auto it = viewers_.find(clientId);
  if (it == viewers_.end()) return;
  Viewer viewer = std::move(it->second);
  viewers_.erase(it);
  Device& device = devices_[viewer.deviceId];
  device.viewers.erase(std::remove(device.viewers.begin(), device.viewers.end(), clientId),
                       device.viewers.end());
  log("viewer " + std::to_string(clientId) + " left (" + reason + ")");
  if (closePeer) viewer.peer->close(CLOSE_POLICY_VIOLATION, reason);
  if (device.host) {
    sendControl(*device.host, clientLeaveControl(clientId, reason));
  }
}

void RelayHub::fromViewer(uint32_t clientId, bool text, const uint8_t* data, std::size_t size) {
  auto it = viewers_.find(clientId);
  if (it == viewers_.end()) return;
  Device& device = devices_[it->second.deviceId];
  if (!device.host) return;  // nobody to hear it; the viewer re-sends after "host-online"
  if (device.host->backlog() + size > MAX_BACKLOG) {
    dropViewer(clientId, "backlog", true);
    return;
  }
  device.host->sendBinary(dataFrame(clientId, std::span<const uint8_t>(data, size),
                                    text ? RelayOp::dataTxt : RelayOp::dataBin));
}

}  // namespace cvl::relay
