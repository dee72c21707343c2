#pragma once
// One viewer connected through the relay: its client id and role, the host's half of its key
// agreement, its sealed channel once keyed, and the serial queue "cvl.viewer.<id>" on which
// all of its key agreement, opening, input and sealing runs.
//
// Shared between the fabric client's viewer map and the work scheduled on its queue; it lives
// from "client-join" until it is dropped and its queued work has run. `channel` and `keying` are
// touched only on `queue`; `gone` and the frame state from any thread (the latter under
// `frameMutex`).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "kit/base/bytes.h"
#include "kit/base/reusable_buffer.h"
#include "kit/base/serial_queue.h"
#include "kit/e2e/channel.h"
#include "kit/e2e/handshake.h"

namespace cvl {

// The roles that may drive input; "viewer" may only watch.
inline const std::set<std::string, std::less<>> MAY_DRIVE = {"owner", "trusted", "helper"};

inline bool mayDrive(std::string_view role) { return MAY_DRIVE.contains(role); }

// A role as the relay announced it, kept when it is a driving role or "viewer"; every other
// role (the empty one included) becomes "viewer".
std::string normaliseRole(std::string_view role);

// "<prefix>" followed by the first 12 characters of the upper-case text form of a fresh
// random UUID, e.g. part_9C2F41A0-77BD.
std::string randomUuidId(std::string_view prefix);

class ViewerConn {
 public:
  ViewerConn(uint32_t clientId, std::string role,
             const std::shared_ptr<Scheduler>& scheduler = Scheduler::system());
  ViewerConn(const ViewerConn&) = delete;
  ViewerConn& operator=(const ViewerConn&) = delete;

  const uint32_t clientId;
  const std::string role;  // normalised
  const Handshake handshake;  // responder, fresh key
  const std::string pid;   // participant id shown to viewers

  // Viewer queue only.
  std::shared_ptr<Channel> channel;
  bool keying = false;

  SerialQueue queue;

  // Set once the record has left the viewer map (left, dropped or replaced by a rejoin); work
  // still queued for it then does nothing.
  std::atomic<bool> gone{false};

  // Frame pacing: at most one frame of this viewer is between the frame loop and the socket
  // (being sealed or waiting to be written); the newest frame produced meanwhile waits in
  // `waitingFrame`, replacing an older one.
  std::mutex frameMutex;
  bool frameBusy = false;
  std::shared_ptr<const ReusableBuffer> waitingFrame;  // sealed-message plaintext
  // What the viewer asked for in "settings": frames only when the picture changed (and one
  // every few seconds all the same), and one sharper frame of a picture that stands still.
  bool skipUnchanged = false;
  int64_t refreshQuality = 0;            // 0: none
  std::optional<TimePoint> lastFrameAt;  // when a frame was last sealed for it
  bool sharp = false;  // it was offered the refresh frame of the picture standing still now

  // The relay frame of the frame being sealed and written (one at a time, see frameBusy):
  // written on `queue`, read by the socket until the write completes.
  ReusableBuffer frameOut;
};

}  // namespace cvl
