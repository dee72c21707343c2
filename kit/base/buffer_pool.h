#pragma once
// A few ReusableBuffers lent out by shared_ptr: a buffer comes back to the pool when the last
// reference to it goes, from whichever thread drops it, and is lent again with its memory
// kept. The frame path writes each frame's message into one, shares it with every viewer up
// to sealing, and so allocates nothing per frame once the pool is warm.
//
// Any thread may take and release. The pool may go before the buffers it lent; those are
// then freed on release.

#include <memory>
#include <mutex>
#include <vector>

#include "kit/base/reusable_buffer.h"

namespace cvl {

class BufferPool {
 public:
  BufferPool() : free_(std::make_shared<Free>()) {}

  // An empty buffer (cleared, memory of an earlier use kept), the caller's alone until it
  // shares it.
  std::shared_ptr<ReusableBuffer> take() {
    std::unique_ptr<ReusableBuffer> buffer;
    {
      std::lock_guard lock(free_->mutex);
      if (!free_->buffers.empty()) {
        buffer = std::move(free_->buffers.back());
        free_->buffers.pop_back();
      }
    }
    if (!buffer) buffer = std::make_unique<ReusableBuffer>();
    buffer->clear();
    std::weak_ptr<Free> home = free_;
    return std::shared_ptr<ReusableBuffer>(buffer.release(), [home](ReusableBuffer* b) {
      std::unique_ptr<ReusableBuffer> back(b);
      if (auto free = home.lock()) {
        std::lock_guard lock(free->mutex);
        free->buffers.push_back(std::move(back));
      }
    });
  }

  // Buffers waiting to be lent again.
  size_t idle() const {
    std::lock_guard lock(free_->mutex);
    return free_->buffers.size();
  }

 private:
  struct Free {
    std::mutex mutex;
    std::vector<std::unique_ptr<ReusableBuffer>> buffers;
  };
  std::shared_ptr<Free> free_;
};

}  // namespace cvl
