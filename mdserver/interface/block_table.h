// The blocks a pool has handed out and not taken back, with their sizes: an open-addressing
// table (linear probing, removal by shifting back), so recording and forgetting a block costs
// no allocation of its own. A pool records every block of every object list it builds and
// forgets it again when the list is freed, which a node-based map paid for with one more
// allocation and free per block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mdserver {

class BlockTable {
 public:
  // Records block (not null, not recorded yet) with its size. False only when the table could
  // not grow: the caller then treats the block as not handed out.
  bool insert(void* block, uint64_t size);
  // The recorded size, or nothing (false) when the block is not recorded.
  bool find(const void* block, uint64_t* size) const;
  // Forgets the block, giving its recorded size to `size` when asked; false when it was not
  // recorded.
  bool erase(const void* block, uint64_t* size = nullptr);
  size_t size() const { return count_; }

  // Calls visit(block, size) for every recorded block, in no particular order.
  template <typename Visit>
  void forEach(Visit&& visit) const {
    for (const Slot& slot : slots_) {
      if (slot.block != nullptr) visit(slot.block, slot.size);
    }
  }

 private:
  struct Slot {
    void* block = nullptr;
    uint64_t size = 0;
  };
  size_t home(const void* block) const;
  size_t probe(const void* block) const;  // the block's slot, or an empty one
  bool grow();

  std::vector<Slot> slots_;  // empty, or a power of two, at most half full
  size_t count_ = 0;
};

}  // namespace mdserver
