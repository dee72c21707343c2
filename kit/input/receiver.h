#pragma once
// Receiver: turns the controlling viewer's stream of input frames, which may arrive twice,
// late or with gaps, into the events to inject now, in order, and says when the viewer should
// send a fresh snapshot because something was lost. It owns the held-input record.
//
// The channel byte picks the discipline: on the state channel (0) only the newest frame
// counts; on every other channel frames are applied strictly in sequence order and a gap is
// waited for while at most REORDER_LIMIT later frames are held. Sequence numbers compare in
// 32-bit serial arithmetic, so they may wrap from 0xFFFFFFFF to 0.
//
// Owned by the host engine. No lock: callers (the controller's queue, the release-all path)
// must not call it concurrently.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "kit/input/input_event.h"
#include "kit/input/input_state.h"

namespace cvl {

struct ReceiveResult {
  std::vector<InputEvent> commands;  // to inject now, in order
  bool needsResync = false;          // the receiver gave up on a gap and wants a snapshot
};

// True when `a` is older than `b` in 32-bit serial arithmetic (a - b, read as a signed 32-bit
// value, is negative). Two numbers exactly 2^31 apart are each older than the other.
constexpr bool seqOlder(std::uint32_t a, std::uint32_t b) {
  return static_cast<std::int32_t>(a - b) < 0;
}

class Receiver {
 public:
  // The most out-of-order frames held back while waiting for a gap; one more gives it up.
  static constexpr std::size_t REORDER_LIMIT = 64;

  // One binary frame. A frame that does not decode changes nothing and yields an empty result
  // with needsResync false.
  ReceiveResult receive(std::span<const std::uint8_t> binary);
  ReceiveResult receive(std::string_view binary);
  // An already decoded event (a snapshot, or an event of any channel).
  ReceiveResult receive(const InputEvent& event);

  // Releases for everything held, and forgets all ordering state and the resync flag. The
  // pointer position is kept.
  std::vector<InputEvent> reset();

  // Set when pending frames were flushed over a gap; cleared by a snapshot or reset. While set,
  // every result that applies or holds back a frame reports needsResync too.
  bool needsResync() const { return needsResync_; }

  const InputState& state() const { return state_; }
  InputState& state() { return state_; }
  std::optional<std::uint32_t> expectedSeq() const { return expectedSeq_; }
  std::optional<std::uint32_t> lastStateSeq() const { return lastStateSeq_; }
  std::size_t pendingCount() const { return pending_.size(); }

 private:
  ReceiveResult receiveState(const InputEvent& event);
  ReceiveResult receiveEvent(const InputEvent& event);
  ReceiveResult applyNow(const std::vector<InputEvent>& events);
  ReceiveResult flushPending();

  InputState state_;
  std::optional<std::uint32_t> lastStateSeq_;
  std::optional<std::uint32_t> expectedSeq_;
  // Frames ahead of expectedSeq_, all within 2^31 after it.
  std::map<std::uint32_t, InputEvent> pending_;
  bool needsResync_ = false;
};

// Release events for the left, right and middle buttons and for every MODIFIER_VKS key, in
// that order, whatever is held: injected after the state-based release so that buttons and
// modifiers end up up even when the held record was out of step with the system.
std::vector<InputEvent> blindRelease();

}  // namespace cvl
