#pragma once
// The relay's routing: which host serves each device, which viewers watch it, and what
// goes where. Knows nothing of sockets: connections are RelayPeers. Single-threaded: the
// server calls it only from its network thread.
//
// Host link (one WebSocket message, integers big-endian):
//   control   00 | JSON object            relay -> host: "host-accepted", "client-join",
//                                          "client-leave", "replaced"
//   data      01 | client id (4) | client message      both ways (02 = text payload, alike)
//   broadcast 03 | client message         host -> every viewer of the device (04 alike)
//   the high bit (0x80) of the first byte marks a host message the relay may drop when the
//   viewer is behind.
// Viewer link: a binary message is one client message, forwarded unchanged; a text message
// from the relay is a JSON notice: "welcome" (clientId, role), "host-online", "host-offline".

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/base/bytes.h"

namespace cvl::relay {

class RelayPeer {
 public:
  virtual ~RelayPeer() = default;
  virtual void sendBinary(Bytes message) = 0;
  virtual void sendText(std::string message) = 0;
  // Closes after everything queued has been written.
  virtual void close(uint16_t code, const std::string& reason) = 0;
  // Bytes queued and not yet written.
  virtual std::size_t backlog() const = 0;
};

class RelayHub {
 public:
  // A viewer whose backlog passes this is disconnected; a droppable message is dropped
  // already beyond DROPPABLE_BACKLOG.
  static constexpr std::size_t MAX_BACKLOG = 64 * 1024 * 1024;
  static constexpr std::size_t DROPPABLE_BACKLOG = 4 * 1024 * 1024;
  // Close codes: a newer host of the same device took over; a viewer broke the rules (backlog).
  static constexpr uint16_t CLOSE_REPLACED = 4000;
  static constexpr uint16_t CLOSE_POLICY_VIOLATION = 1008;

  explicit RelayHub(uint32_t firstClientId) : nextClientId_(firstClientId) {}

  // A host was accepted for `deviceId`; an earlier host of the device is told "replaced".
  void hostJoined(const std::string& deviceId, const std::shared_ptr<RelayPeer>& host);
  void hostLeft(const std::string& deviceId, const RelayPeer* host, const std::string& why);
  void fromHost(const std::string& deviceId, const RelayPeer* host, const uint8_t* data,
                std::size_t size);

  // A viewer was accepted; returns its client id.
  uint32_t viewerJoined(const std::string& deviceId, const std::string& role,
                        const std::shared_ptr<RelayPeer>& viewer);
  void viewerLeft(uint32_t clientId, const std::string& reason);
  void fromViewer(uint32_t clientId, bool text, const uint8_t* data, std::size_t size);

 private:
  struct Viewer {
    std::string deviceId;
    std::string role;
    std::shared_ptr<RelayPeer> peer;
  };
  struct Device {
    std::shared_ptr<RelayPeer> host;
    std::vector<uint32_t> viewers;  // in join order
  };

  void sendControl(RelayPeer& host, const nlohmann::json& object);
  void deliver(uint32_t clientId, Viewer& viewer, const uint8_t* data, std::size_t size,
               bool droppable);
  void dropViewer(uint32_t clientId, const std::string& reason, bool closePeer);
  uint32_t allocateClientId();

  uint32_t nextClientId_;
  std::map<std::string, Device> devices_;
  std::map<uint32_t, Viewer> viewers_;
};

// Printable form of untrusted text for a log line.
std::string logSafe(const std::string& text);

}  // namespace cvl::relay
