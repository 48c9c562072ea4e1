// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/nodes/NodePool.h"

#include <algorithm>
#include <new>

// Under AddressSanitizer a free block is poisoned, so that a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define WQ_POOL_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WQ_POOL_POISONS 1
#endif
#endif
#ifdef WQ_POOL_POISONS
#include <sanitizer/asan_interface.h>
#define WQ_POISON(block, size) ASAN_POISON_MEMORY_REGION(block, size)
#define WQ_UNPOISON(block, size) ASAN_UNPOISON_MEMORY_REGION(block, size)
#else
#define WQ_POISON(block, size) ((void)(block), (void)(size))
#define WQ_UNPOISON(block, size) ((void)(block), (void)(size))
#endif

namespace wq {

namespace {

// Only the pages of a slab that blocks are carved from ever become resident.
constexpr std::size_t kSlabSize = std::size_t{1} << 20;

}  // namespace

NodePool::NodePool(std::size_t blockSize, std::size_t alignment)
    : blockSize_((std::max(blockSize, sizeof(FreeBlock)) + alignment - 1) / alignment * alignment) {
}

void* NodePool::allocate() {
  const std::lock_guard lock(mutex_);
  if (free_ != nullptr) {
    WQ_UNPOISON(free_, blockSize_);
    FreeBlock* block = free_;
    free_ = block->next;
    return block;
  }
  if (unused_ == nullptr || slabEnd_ - unused_ < static_cast<std::ptrdiff_t>(blockSize_)) {
    slabs_.push_back(std::make_unique_for_overwrite<std::byte[]>(kSlabSize));
    unused_ = slabs_.back().get();
    slabEnd_ = unused_ + kSlabSize;
  }
  std::byte* block = unused_;
  unused_ += blockSize_;
  return block;
}

void NodePool::release(void* block) {
  if (block == nullptr) {
    return;
  }
  const std::lock_guard lock(mutex_);
  free_ = new (block) FreeBlock{free_};
  WQ_POISON(block, blockSize_);
}

}  // namespace wq
