// Random streams of input frames (well-formed events around a moving sequence number,
// snapshots, resets and raw bytes) into one Receiver, checking after every call that
//   - no more than REORDER_LIMIT frames are held back (65 at the very most, during a flush),
//   - no numbered event is emitted twice: each discipline's counter only moves forward and
//     every emitted number lies in the stretch the counter moved over in that call,
//   - the resync flag is set whenever a result asks for a snapshot, and cleared by snapshots
//     and resets.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

#include "kit/input/input_decoder.h"
#include "kit/input/input_encoder.h"
#include "kit/input/receiver.h"

namespace {

using cvl::InputEvent;

void check(bool ok) {
  if (!ok) std::abort();
}

// Emitted numbers of one discipline since its counter was last forgotten. `travel` is how far
// the counter has moved in total; a number may come again only a full 2^32 of travel later.
struct Tracker {
  std::uint64_t travel = 0;
  std::map<std::uint32_t, std::uint64_t> emittedAt;

  void forget() {
    travel = 0;
    emittedAt.clear();
  }
  void emitted(std::uint32_t seq, std::uint64_t at) {
    auto it = emittedAt.find(seq);
    check(it == emittedAt.end() || at - it->second >= (std::uint64_t{1} << 32));
    emittedAt[seq] = at;
  }
};

using cvl::InputKind;
const InputKind KINDS[] = {InputKind::move,       InputKind::moveDirect, InputKind::axis,
                           InputKind::button,     InputKind::wheel,      InputKind::keyVk,
                           InputKind::keyUnicode, InputKind::padButton,  InputKind::snapshot};
const char* const BUTTONS[] = {"left", "right", "middle", "x1", "x2"};

std::uint32_t nearOrAnywhere(FuzzedDataProvider& in, std::uint32_t base) {
  // Mostly near the moving base so that gaps fill and overflow; sometimes anywhere.
  if (in.ConsumeIntegralInRange<int>(0, 7) != 0) return base + in.ConsumeIntegral<std::uint8_t>() - 16;
  return in.ConsumeIntegral<std::uint32_t>();
}

// Only the fields of the chosen kind are drawn, so that a stream stays short enough to reach
// a flush.
InputEvent makeEvent(FuzzedDataProvider& in, std::uint32_t base) {
  const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
  InputEvent e(KINDS[(pick & 0x0F) % 9]);
  switch (pick >> 6) {
    case 0: e.channel = 0; break;
    case 1: e.channel = 1; break;
    case 2: e.channel = 2; break;
    default: e.channel = in.ConsumeIntegral<std::uint8_t>(); break;
  }
  e.seq = nearOrAnywhere(in, base);
  if (pick & 0x10) e.t = in.ConsumeIntegralInRange<std::uint64_t>(0, (std::uint64_t{1} << 48) - 1);
  e.down = pick & 0x20;
  const std::uint8_t field = in.ConsumeIntegral<std::uint8_t>();
  if (e.kind == InputKind::move || e.kind == InputKind::moveDirect) {
    e.x = static_cast<std::int8_t>(field);
    e.y = -e.x;
  } else if (e.kind == InputKind::button) {
    e.button = BUTTONS[field % 5];
  } else if (e.kind == InputKind::keyVk) {
    e.vk = field % 12;
  } else if (e.kind == InputKind::keyUnicode) {
    e.code = 0x60 + field % 6;
  } else if (e.kind == InputKind::wheel) {
    e.delta = static_cast<std::int8_t>(field);
  } else if (e.kind == InputKind::snapshot) {
    e.upto = nearOrAnywhere(in, base);
    for (int i = 0; i < (field & 3); ++i) e.keys.push_back(in.ConsumeIntegralInRange<int>(0, 11));
    for (int i = 0; i < ((field >> 2) & 3); ++i) e.chars.push_back(in.ConsumeIntegralInRange<int>(0x60, 0x65));
    for (int id = 0; id < 5; ++id) {
      if (field & (0x10 << id) & 0xF0) e.buttons.push_back(BUTTONS[id]);
    }
  }
  return e;
}

// One receiver and what has been seen of it.
struct Harness {
  cvl::Receiver receiver;
  Tracker ordered;
  Tracker state;

  void reset() {
    receiver.reset();
    check(!receiver.needsResync() && receiver.pendingCount() == 0);
    ordered.forget();
    state.forget();
  }

  // `seen` is what the receiver gets after decoding (absent: the bytes do not decode).
  template <typename Call>
  void feed(const std::optional<InputEvent>& seen, Call call) {
    const auto expectedBefore = receiver.expectedSeq();
    const auto stateBefore = receiver.lastStateSeq();
    const cvl::ReceiveResult result = call();
    const auto expectedAfter = receiver.expectedSeq();
    const auto stateAfter = receiver.lastStateSeq();

    // At most REORDER_LIMIT wait between calls; the one more that triggers a flush never stays.
    check(receiver.pendingCount() <= cvl::Receiver::REORDER_LIMIT);
    check(receiver.pendingCount() == 0 || expectedAfter.has_value());
    check(!result.needsResync || receiver.needsResync());
    if (!seen) {
      check(result.commands.empty() && !result.needsResync);
      check(expectedAfter == expectedBefore && stateAfter == stateBefore);
      return;
    }
    if (seen->kind == InputKind::snapshot) {
      check(!result.needsResync && !receiver.needsResync() && receiver.pendingCount() == 0);
      check(expectedAfter == seen->upto + 1);
      check(stateAfter == stateBefore);
      for (const InputEvent& c : result.commands) check(!c.seq.has_value());
      ordered.forget();
      return;
    }
    if (seen->channel == 0) {
      check(expectedAfter == expectedBefore);
    } else {
      check(stateAfter == stateBefore);
    }

    // The state counter only moves forward, by less than half the number space.
    if (stateBefore && stateAfter) {
      check(static_cast<std::int32_t>(*stateAfter - *stateBefore) >= 0);
      state.travel += static_cast<std::uint32_t>(*stateAfter - *stateBefore);
    }

    // The ordered counter moves forward by at most 2^31 (a flush over the widest gap). When
    // it was absent nothing was waiting, so it moved by exactly one.
    std::uint32_t from = 0;
    std::uint64_t moved = 0;
    if (expectedAfter) {
      from = expectedBefore ? *expectedBefore : *expectedAfter - 1;
      moved = static_cast<std::uint32_t>(*expectedAfter - from);
      check(moved <= (std::uint64_t{1} << 31));
    }

    std::optional<std::uint64_t> lastOffset;
    for (const InputEvent& c : result.commands) {
      if (!c.seq) continue;
      if (c.channel == 0) {
        check(stateAfter == c.seq);
        state.emitted(*c.seq, state.travel);
      } else {
        // Emitted numbers lie in the stretch the counter moved over, in ascending order.
        check(expectedAfter.has_value());
        const std::uint64_t offset = static_cast<std::uint32_t>(*c.seq - from);
        check(offset < moved);
        check(!lastOffset || offset > *lastOffset);
        lastOffset = offset;
        ordered.emitted(*c.seq, ordered.travel + offset);
      }
    }
    ordered.travel += moved;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Harness h;
  std::uint32_t base = in.ConsumeIntegral<std::uint32_t>();

  while (in.remaining_bytes() > 0) {
    const int op = in.ConsumeIntegralInRange<int>(0, 15);
    switch (op) {
      case 0:
        h.reset();
        break;
      case 1:
        base += in.ConsumeIntegral<std::uint32_t>();
        break;
      case 2: {
        // Raw bytes, decoded here as well so that whatever they turn out to be is checked.
        const auto frame = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 48));
        std::optional<InputEvent> seen;
        try {
          seen = cvl::decodeBinary(frame);
        } catch (const cvl::InputProtocolError&) {
        }
        h.feed(seen, [&] { return h.receiver.receive(frame); });
        break;
      }
      case 3: {
        // A decoded event handed over directly, sometimes without a number.
        InputEvent e = makeEvent(in, base);
        if (in.ConsumeBool()) e.seq.reset();
        h.feed(e, [&] { return h.receiver.receive(e); });
        break;
      }
      case 4: {
        // A run of ordered frames in reverse or in steps: the way to overflow the limit.
        const int count = in.ConsumeIntegralInRange<int>(1, 90);
        const std::uint32_t step = in.ConsumeIntegralInRange<std::uint32_t>(1, 3);
        const bool reverse = in.ConsumeBool();
        for (int i = 0; i < count; ++i) {
          InputEvent e(InputKind::wheel);
          e.channel = 1;
          e.seq = base + step * static_cast<std::uint32_t>(reverse ? count - i : i);
          const auto frame = cvl::encodeBinary(e);
          h.feed(e, [&] { return h.receiver.receive(frame); });
        }
        base += step * static_cast<std::uint32_t>(count);
        break;
      }
      default: {
        const InputEvent e = makeEvent(in, base);
        const auto frame = cvl::encodeBinary(e);
        std::optional<InputEvent> seen = cvl::decodeBinary(frame);
        h.feed(seen, [&] { return h.receiver.receive(frame); });
        break;
      }
    }
  }
  return 0;
}
