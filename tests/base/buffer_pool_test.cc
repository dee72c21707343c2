#include "kit/base/buffer_pool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace cvl {
namespace {

TEST(BufferPool, ABufferReturnsWhenItsLastHolderLetsGoAndIsLentAgainEmptyWithItsMemory) {
  BufferPool pool;
  auto first = pool.take();
  first->append("frame one", 9);
  const uint8_t* memory = first->data();
  auto second = pool.take();
  EXPECT_NE(second.get(), first.get()) << "a buffer in use is not lent twice";

  std::shared_ptr<const ReusableBuffer> shared = first;  // a viewer still sealing it
  first.reset();
  EXPECT_EQ(pool.idle(), 0u);
  shared.reset();
  EXPECT_EQ(pool.idle(), 1u);

  auto again = pool.take();
  EXPECT_TRUE(again->empty());
  EXPECT_EQ(again->data(), memory);
  EXPECT_EQ(pool.idle(), 0u);
}

TEST(BufferPool, BuffersMayOutliveThePoolAndComeBackFromOtherThreads) {
  std::shared_ptr<ReusableBuffer> orphan;
  {
    BufferPool pool;
    std::vector<std::shared_ptr<ReusableBuffer>> lent;
    for (int i = 0; i < 8; ++i) lent.push_back(pool.take());
    std::vector<std::thread> threads;
    for (auto& b : lent) {
      threads.emplace_back([b = std::move(b)]() mutable {
        b->append("x", 1);
        b.reset();
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(pool.idle(), 8u);
    orphan = pool.take();
  }
  orphan->append("still usable", 12);
  orphan.reset();  // freed, not returned to a pool that has gone
}

}  // namespace
}  // namespace cvl
