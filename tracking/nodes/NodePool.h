// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Memory for objects of one size, carved from large slabs: objects made one after another lie
// next to each other, so walking them in order reads memory in order, and making or freeing one
// costs no trip into the general allocator and no bytes of its bookkeeping. Freed blocks are
// reused; slabs are kept for the life of the program. Blocks may be freed on any thread.

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace wq {

class NodePool {
 public:
  NodePool(std::size_t blockSize, std::size_t alignment);

  void* allocate();
  void release(void* block);

 private:
  struct FreeBlock {
    FreeBlock* next;
  };

  const std::size_t blockSize_;
  std::mutex mutex_;
  FreeBlock* free_ = nullptr;
  std::byte* unused_ = nullptr;  // the rest of the newest slab
  std::byte* slabEnd_ = nullptr;
  std::vector<std::unique_ptr<std::byte[]>> slabs_;
};

}  // namespace wq
