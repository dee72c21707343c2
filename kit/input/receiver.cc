#include "kit/input/receiver.h"

#include <algorithm>

#include "kit/input/input_decoder.h"

namespace cvl {

ReceiveResult Receiver::receive(std::span<const std::uint8_t> binary) {
  std::optional<InputEvent> event;
  try {
    event = decodeBinary(binary);
  } catch (const InputProtocolError&) {
    return {};
  }
  return receive(*event);
}

ReceiveResult Receiver::receive(std::string_view binary) {
  return receive(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(binary.data()),
                                               binary.size()));
}

ReceiveResult Receiver::receive(const InputEvent& event) {
  if (event.kind == InputKind::snapshot) {
    ReceiveResult result{applySnapshot(state_, event), false};
    pending_.clear();
    expectedSeq_ = event.upto + 1;
    needsResync_ = false;
    return result;
  }
  if (event.channel == static_cast<std::int64_t>(InputChannel::state)) return receiveState(event);
  return receiveEvent(event);
}

ReceiveResult Receiver::receiveState(const InputEvent& event) {
  if (event.seq && lastStateSeq_ &&
      (*event.seq == *lastStateSeq_ || seqOlder(*event.seq, *lastStateSeq_))) {
    return {};
  }
  if (event.seq) lastStateSeq_ = event.seq;
  return applyNow({event});
}

ReceiveResult Receiver::receiveEvent(const InputEvent& event) {
  if (!event.seq) return applyNow({event});
  const std::uint32_t seq = *event.seq;
  if (!expectedSeq_) expectedSeq_ = seq;

  if (seq != *expectedSeq_) {
    if (seqOlder(seq, *expectedSeq_)) return {};
    pending_.insert_or_assign(seq, event);
    if (pending_.size() > REORDER_LIMIT) return flushPending();
    return {{}, needsResync_};
  }

  std::vector<InputEvent> ready{event};
  std::uint32_t next = seq + 1;
  for (auto it = pending_.find(next); it != pending_.end(); it = pending_.find(next)) {
    ready.push_back(std::move(it->second));
    pending_.erase(it);
    ++next;
  }
  expectedSeq_ = next;
  return applyNow(ready);
}

ReceiveResult Receiver::applyNow(const std::vector<InputEvent>& events) {
  ReceiveResult result{{}, needsResync_};
  result.commands.reserve(events.size());
  for (const InputEvent& event : events) {
    if (auto command = state_.apply(event)) result.commands.push_back(std::move(*command));
  }
  return result;
}

ReceiveResult Receiver::flushPending() {
  needsResync_ = true;
  // Every pending number lies within 2^31 after expectedSeq_, so their distance from it orders
  // them as serial arithmetic does, across a wrap included.
  const std::uint32_t base = *expectedSeq_;
  std::vector<std::uint32_t> order;
  order.reserve(pending_.size());
  for (const auto& entry : pending_) order.push_back(entry.first);
  std::sort(order.begin(), order.end(),
            [base](std::uint32_t a, std::uint32_t b) { return a - base < b - base; });

  std::vector<InputEvent> events;
  events.reserve(order.size());
  for (std::uint32_t seq : order) events.push_back(std::move(pending_.at(seq)));
  pending_.clear();
  if (!order.empty()) expectedSeq_ = order.back() + 1;

  ReceiveResult result = applyNow(events);
  result.needsResync = true;
  return result;
}

std::vector<InputEvent> Receiver::reset() {
  std::vector<InputEvent> commands = state_.releaseAll();
  pending_.clear();
  expectedSeq_.reset();
  lastStateSeq_.reset();
  needsResync_ = false;
  return commands;
}

std::vector<InputEvent> blindRelease() {
  std::vector<InputEvent> out;
  out.reserve(3 + MODIFIER_VKS.size());
  for (const char* name : {"left", "right", "middle"}) {
    out.push_back(InputEvent::ofButton(name, false));
  }
  for (std::int64_t vk : MODIFIER_VKS) out.push_back(InputEvent::ofKey(vk, false));
  return out;
}

}  // namespace cvl
