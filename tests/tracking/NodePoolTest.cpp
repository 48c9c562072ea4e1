// The pool nodes come from: blocks are distinct, aligned and reused, from whatever thread they are
// freed on.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "tracking/NodePool.h"

namespace wq::testing {
namespace {

TEST(NodePool, BlocksAreDistinctAlignedAndReusedAcrossSlabsAndThreads) {
  constexpr std::size_t kSize = 56;
  constexpr int kBlocks = 50000;  // more than one slab holds
  NodePool pool(kSize, 8);
  std::vector<unsigned char*> blocks;
  for (int i = 0; i < kBlocks; ++i) {
    blocks.push_back(static_cast<unsigned char*>(pool.allocate()));
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(blocks.back()) % 8, 0u);
  }
  // No block overlaps another.
  std::vector<std::uintptr_t> sorted;
  for (unsigned char* block : blocks) {
    sorted.push_back(reinterpret_cast<std::uintptr_t>(block));
  }
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    ASSERT_GE(sorted[i] - sorted[i - 1], kSize);
  }
  // Half are freed on another thread; as many new ones come back from exactly those.
  const std::vector<unsigned char*> freed(blocks.begin(), blocks.begin() + kBlocks / 2);
  std::thread([&] {
    for (unsigned char* block : freed) {
      pool.release(block);
    }
  }).join();
  pool.release(nullptr);
  std::set<unsigned char*> reused;
  for (int i = 0; i < kBlocks / 2; ++i) {
    reused.insert(static_cast<unsigned char*>(pool.allocate()));
  }
  EXPECT_EQ(reused, std::set<unsigned char*>(freed.begin(), freed.end()));
  for (unsigned char* block : blocks) {
    pool.release(block);
  }
}

}  // namespace
}  // namespace wq::testing
