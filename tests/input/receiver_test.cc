#include "kit/input/receiver.h"

#include <gtest/gtest.h>

#include "kit/input/input_encoder.h"

namespace cvl {
namespace {

// A numbered wheel event: it changes no held state, so what comes out is exactly what the
// ordering let through.
InputEvent numbered(std::uint32_t seq, std::int64_t channel = 1) {
  InputEvent e(InputKind::wheel);
  e.channel = channel;
  e.seq = seq;
  return e;
}

InputEvent snapshotUpTo(std::uint32_t upto) {
  InputEvent s(InputKind::snapshot);
  s.channel = 2;
  s.upto = upto;
  return s;
}

std::vector<std::uint32_t> seqs(const ReceiveResult& r) {
  std::vector<std::uint32_t> out;
  for (const InputEvent& e : r.commands) out.push_back(e.seq.value_or(0));
  return out;
}

using Seqs = std::vector<std::uint32_t>;

TEST(Receiver, AppliesInOrderWaitsForGapsAndDropsDuplicatesAndStaleFrames) {
  Receiver r;
  EXPECT_EQ(seqs(r.receive(numbered(100))), Seqs{100});  // the first numbered event is in order
  EXPECT_EQ(r.expectedSeq(), 101u);

  for (std::uint32_t seq : {103u, 102u}) {
    const ReceiveResult held = r.receive(numbered(seq));
    EXPECT_TRUE(held.commands.empty());
    EXPECT_FALSE(held.needsResync);
  }
  EXPECT_EQ(r.pendingCount(), 2u);
  EXPECT_EQ(seqs(r.receive(numbered(101))), (Seqs{101, 102, 103}));
  EXPECT_EQ(r.expectedSeq(), 104u);
  EXPECT_EQ(r.pendingCount(), 0u);

  for (std::uint32_t seq : {101u, 103u, 50u, 104u + 0x80000000u}) {
    SCOPED_TRACE(seq);
    const ReceiveResult dropped = r.receive(numbered(seq));
    EXPECT_TRUE(dropped.commands.empty());
    EXPECT_FALSE(dropped.needsResync);
  }
  EXPECT_EQ(r.pendingCount(), 0u);

  // A frame repeated while it waits is kept once, as its newest copy.
  InputEvent first = numbered(105);
  first.delta = 1;
  InputEvent again = numbered(105);
  again.delta = 2;
  r.receive(first);
  r.receive(again);
  const ReceiveResult filled = r.receive(numbered(104));
  ASSERT_EQ(seqs(filled), (Seqs{104, 105}));
  EXPECT_EQ(filled.commands[1].delta, 2);
  EXPECT_FALSE(r.needsResync());
}

TEST(Receiver, SequenceNumbersWrapAround) {
  Receiver r;
  r.receive(numbered(0xFFFFFFFE));
  ASSERT_EQ(r.expectedSeq(), 0xFFFFFFFFu);
  EXPECT_TRUE(r.receive(numbered(0)).commands.empty());
  EXPECT_EQ(seqs(r.receive(numbered(0xFFFFFFFF))), (Seqs{0xFFFFFFFF, 0}));
  EXPECT_EQ(r.expectedSeq(), 1u);
  EXPECT_TRUE(r.receive(numbered(0xFFFFFFFF)).commands.empty());  // now stale
}

TEST(Receiver, GivesUpAGapAfterMoreThanTheLimitWaitAndStaysOutOfStepUntilASnapshot) {
  for (std::uint32_t base : {10u, 0xFFFFFFE0u}) {
    SCOPED_TRACE(base);
    Receiver r;
    r.receive(numbered(base - 1));
    ASSERT_EQ(r.expectedSeq(), base);

    // base and base + 1 never come; base + 2 ... base + 66 arrive newest first, the 65th flushes.
    Seqs expected;
    for (std::uint32_t i = 0; i < 65; ++i) expected.push_back(base + 2 + i);
    for (std::uint32_t i = 64; i > 0; --i) {
      const ReceiveResult held = r.receive(numbered(base + 2 + i));
      ASSERT_TRUE(held.commands.empty());
      ASSERT_FALSE(held.needsResync);
    }
    EXPECT_EQ(r.pendingCount(), Receiver::REORDER_LIMIT);
    const ReceiveResult flushed = r.receive(numbered(base + 2));
    EXPECT_EQ(seqs(flushed), expected);
    EXPECT_TRUE(flushed.needsResync);
    EXPECT_EQ(r.pendingCount(), 0u);
    EXPECT_EQ(r.expectedSeq(), base + 67);

    // Out of step: everything applied, held back or taken on the state channel asks again;
    // stale frames and undecodable bytes do not.
    const ReceiveResult next = r.receive(numbered(base + 67));
    EXPECT_EQ(seqs(next), Seqs{base + 67});
    EXPECT_TRUE(next.needsResync);
    const ReceiveResult waiting = r.receive(numbered(base + 70));
    EXPECT_TRUE(waiting.commands.empty());
    EXPECT_TRUE(waiting.needsResync);
    EXPECT_TRUE(r.receive(numbered(5, 0)).needsResync);
    EXPECT_TRUE(r.receive(InputEvent(InputKind::move)).needsResync);
    EXPECT_FALSE(r.receive(numbered(base + 1)).needsResync);
    EXPECT_FALSE(r.receive(std::vector<std::uint8_t>{0xAE, 1, 1}).needsResync);
    EXPECT_TRUE(r.needsResync());

    const ReceiveResult snapped = r.receive(snapshotUpTo(base + 80));
    EXPECT_FALSE(snapped.needsResync);
    EXPECT_FALSE(r.needsResync());
    EXPECT_EQ(r.expectedSeq(), base + 81);
    EXPECT_EQ(r.pendingCount(), 0u);  // base + 70 is covered by the snapshot
    const ReceiveResult after = r.receive(numbered(base + 81));
    EXPECT_EQ(seqs(after), Seqs{base + 81});
    EXPECT_FALSE(after.needsResync);
  }
}

TEST(Receiver, StateChannelKeepsOnlyNewerFrames) {
  Receiver r;
  struct Step {
    std::uint32_t seq;
    bool applied;
  };
  const Step steps[] = {{10, true}, {9, false}, {10, false}, {11, true},
                        {0xFFFFFFF0, false}, {0x8000000B, false}, {0x8000000A, true}, {5, true}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.seq);
    const ReceiveResult result = r.receive(numbered(s.seq, 0));
    EXPECT_EQ(result.commands.size(), s.applied ? 1u : 0u);
    EXPECT_FALSE(result.needsResync);
  }
  // Without a number a state frame is always applied and leaves the last number alone.
  EXPECT_EQ(r.receive(InputEvent(InputKind::wheel)).commands.size(), 1u);
  EXPECT_EQ(r.lastStateSeq(), 5u);
  // The ordered channels keep their own count.
  EXPECT_FALSE(r.expectedSeq().has_value());
}

TEST(Receiver, EveryChannelButStateIsOrdered) {
  for (std::int64_t channel : {1, 2, 7, 255}) {
    SCOPED_TRACE(channel);
    Receiver r;
    r.receive(numbered(1, channel));
    EXPECT_TRUE(r.receive(numbered(3, channel)).commands.empty());
    EXPECT_EQ(seqs(r.receive(numbered(2, channel))), (Seqs{2, 3}));
  }
  // An unnumbered event on an ordered channel is applied at once and moves no counter.
  Receiver r;
  r.receive(numbered(1));
  InputEvent loose(InputKind::wheel);
  loose.channel = 1;
  EXPECT_EQ(r.receive(loose).commands.size(), 1u);
  EXPECT_EQ(r.expectedSeq(), 2u);
}

TEST(Receiver, DecodesFramesAndKeepsCountingOverEventsThatAreNotInjected) {
  Receiver r;
  InputFrameWriter viewer(40);
  InputEvent press(InputKind::keyVk);
  press.vk = 0x41;
  press.down = true;
  InputEvent pad(InputKind::padButton);
  pad.down = true;

  EXPECT_EQ(r.receive(viewer.event(press)).commands.size(), 1u);
  EXPECT_TRUE(r.receive(viewer.event(pad)).commands.empty());  // seq 41: applied, not injected
  InputEvent release = press;
  release.down = false;
  const std::vector<std::uint8_t> frame = viewer.event(release);
  const ReceiveResult result = r.receive(std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size()));
  ASSERT_EQ(result.commands.size(), 1u);
  EXPECT_EQ(result.commands[0].seq, 42u);
  EXPECT_EQ(result.commands[0].t, 0u);
  EXPECT_FALSE(result.commands[0].down);
  EXPECT_EQ(r.expectedSeq(), 43u);
  EXPECT_TRUE(r.state().keys.empty());

  // A frame that does not decode changes nothing.
  std::vector<std::uint8_t> bad = viewer.event(press);
  bad.push_back(0);
  EXPECT_TRUE(r.receive(bad).commands.empty());
  EXPECT_EQ(r.expectedSeq(), 43u);
}

TEST(Receiver, SnapshotsReconcileHeldInputAndRestartTheCount) {
  Receiver r;
  InputFrameWriter viewer;
  InputEvent press(InputKind::keyVk);
  press.vk = 0x41;
  press.down = true;
  r.receive(viewer.event(press));
  r.receive(numbered(9));  // waits: the viewer's next is 2
  r.receive(numbered(20, 0));

  InputEvent snapshot(InputKind::snapshot);
  snapshot.seq = 12345;  // not examined
  snapshot.upto = 0xFFFFFFFF;
  snapshot.x = 8;
  snapshot.keys = {0x42};
  snapshot.buttons = {"left"};
  const ReceiveResult result = r.receive(snapshot);
  ASSERT_EQ(result.commands.size(), 3u);
  EXPECT_EQ(result.commands[0].button, "left");
  EXPECT_TRUE(result.commands[0].down);
  EXPECT_EQ(result.commands[1].vk, 0x41);
  EXPECT_FALSE(result.commands[1].down);
  EXPECT_EQ(result.commands[2].vk, 0x42);
  EXPECT_TRUE(result.commands[2].down);
  EXPECT_EQ(r.expectedSeq(), 0u);
  EXPECT_EQ(r.pendingCount(), 0u);
  EXPECT_EQ(r.state().x, 8);
  // The state channel keeps its own count across a snapshot.
  EXPECT_EQ(r.lastStateSeq(), 20u);
  EXPECT_TRUE(r.receive(numbered(20, 0)).commands.empty());
  EXPECT_EQ(r.receive(numbered(21, 0)).commands.size(), 1u);
}

TEST(Receiver, ResetReleasesHeldInputAndForgetsOrdering) {
  Receiver r;
  InputEvent press(InputKind::button);
  press.button = "right";
  press.down = true;
  press.channel = 1;
  press.seq = 1;
  InputEvent move(InputKind::move);
  move.x = 30;
  move.seq = 50;
  r.receive(press);
  r.receive(move);
  r.receive(numbered(5));  // waits

  const std::vector<InputEvent> released = r.reset();
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0].button, "right");
  EXPECT_FALSE(released[0].down);
  EXPECT_FALSE(released[0].seq.has_value());
  EXPECT_EQ(r.pendingCount(), 0u);
  EXPECT_FALSE(r.expectedSeq().has_value());
  EXPECT_FALSE(r.lastStateSeq().has_value());
  EXPECT_EQ(r.state().x, 30);

  // Old numbers are acceptable again on both disciplines.
  EXPECT_EQ(r.receive(numbered(1)).commands.size(), 1u);
  EXPECT_EQ(r.receive(numbered(3, 0)).commands.size(), 1u);
  EXPECT_TRUE(r.reset().empty());
}

TEST(Receiver, BlindReleaseLetsGoOfButtonsThenModifiers) {
  const std::vector<InputEvent> events = blindRelease();
  ASSERT_EQ(events.size(), 11u);
  const char* buttons[] = {"left", "right", "middle"};
  for (std::size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    InputEvent expected(i < 3 ? InputKind::button : InputKind::keyVk);
    if (i < 3) expected.button = buttons[i];
    else expected.vk = MODIFIER_VKS[i - 3];
    EXPECT_EQ(events[i], expected);
  }
}

}  // namespace
}  // namespace cvl
