#pragma once
// Encoding of InputEvent values into binary input frames: the inverse of decodeBinary, over the
// same layout (input_frame_layout.h). Used by viewer-side tools and by tests. Stateless
// functions for any thread; an InputFrameWriter belongs to one sender and is not locked.

#include <array>
#include <cstdint>
#include <vector>

#include "kit/input/input_event.h"

namespace cvl {

// The parts of a snapshot frame that the host skips: the byte at offset 27 and the trailing
// 5-byte records.
struct SnapshotTrailer {
  std::uint8_t reserved = 0;
  std::vector<std::array<std::uint8_t, 5>> records;
};

// One frame for `event`: its `kind` picks the kind byte, `channel` is written as the channel
// byte, an absent `seq` or `t` is written as 0, and only the fields of that kind are written
// (for a snapshot: x, y, upto, buttons, keys, chars). Throws std::invalid_argument for what
// the format cannot carry: a kind without a frame, a button name outside BUTTON_NAMES, a value out
// of its field's range (vk above 0xFFFF, t above 48 bits, more than 65535 keys, ...), or a
// trailer given for a kind other than a snapshot.
std::vector<std::uint8_t> encodeBinary(const InputEvent& event, const SnapshotTrailer& trailer = {});

// Numbers outgoing frames as a viewer does: the state channel and the events channel each
// count on their own (the receiver waits for gaps on the events channel only), and a snapshot
// covers everything sent on the events channel so far.
class InputFrameWriter {
 public:
  explicit InputFrameWriter(std::uint32_t firstSeq = 1) : nextState_(firstSeq), nextEvent_(firstSeq) {}

  // A frame on the state channel (0) with the next state sequence number.
  std::vector<std::uint8_t> state(InputEvent event);
  // A frame on the events channel (1) with the next events sequence number.
  std::vector<std::uint8_t> event(InputEvent event);
  // A snapshot (channel 2) whose `upto` is the last events sequence number used; `seq` and
  // the held lists are taken from `snapshot` as given (its kind is forced to snapshot).
  std::vector<std::uint8_t> snapshot(InputEvent snapshot, const SnapshotTrailer& trailer = {});

  std::uint32_t nextStateSeq() const { return nextState_; }
  std::uint32_t nextEventSeq() const { return nextEvent_; }

 private:
  // Encodes `e` on `channel` with number `next`, then counts `next` on.
  static std::vector<std::uint8_t> numbered(InputEvent e, InputChannel channel,
                                            std::uint32_t& next);

  std::uint32_t nextState_;
  std::uint32_t nextEvent_;
};

}  // namespace cvl
