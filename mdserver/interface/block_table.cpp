#include "mdserver/interface/block_table.h"

#include <new>

namespace mdserver {

namespace {
constexpr size_t kInitialSlots = 64;
}  // namespace

size_t BlockTable::home(const void* block) const {
  // Blocks are at least 16-byte aligned: the low bits say nothing. A multiplicative hash spreads
  // the rest over the table.
  const uint64_t key = reinterpret_cast<uintptr_t>(block) >> 4;
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 17) & (slots_.size() - 1);
}

size_t BlockTable::probe(const void* block) const {
  const size_t mask = slots_.size() - 1;
  size_t at = home(block);
  while (slots_[at].block != nullptr && slots_[at].block != block) at = (at + 1) & mask;
  return at;
}

bool BlockTable::grow() {
  std::vector<Slot> old;
  try {
    std::vector<Slot> larger(slots_.empty() ? kInitialSlots : slots_.size() * 2);
    old.swap(slots_);
    slots_.swap(larger);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (const Slot& slot : old) {
    if (slot.block != nullptr) slots_[probe(slot.block)] = slot;
  }
  return true;
}

bool BlockTable::insert(void* block, uint64_t size) {
  if ((count_ + 1) * 2 > slots_.size() && !grow()) return false;
  Slot& slot = slots_[probe(block)];
  if (slot.block == nullptr) ++count_;
  slot = {block, size};
  return true;
}

bool BlockTable::find(const void* block, uint64_t* size) const {
  if (slots_.empty() || block == nullptr) return false;
  const Slot& slot = slots_[probe(block)];
  if (slot.block == nullptr) return false;
  if (size != nullptr) *size = slot.size;
  return true;
}

bool BlockTable::erase(const void* block, uint64_t* size) {
  if (slots_.empty() || block == nullptr) return false;
  const size_t mask = slots_.size() - 1;
  size_t hole = probe(block);
  if (slots_[hole].block == nullptr) return false;
  if (size != nullptr) *size = slots_[hole].size;
  // Shift back every later entry of the run that its home allows into the hole, so that no
  // search stops early at the hole.
  for (size_t next = (hole + 1) & mask; slots_[next].block != nullptr; next = (next + 1) & mask) {
    const size_t wanted = home(slots_[next].block);
    // The entry may move to the hole when the hole lies on its probe path: between its home
    // and where it is now, cyclically.
    const bool onPath = hole <= next ? (wanted <= hole || wanted > next)
                                     : (wanted <= hole && wanted > next);
    if (onPath) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = Slot{};
  --count_;
  return true;
}

}  // namespace mdserver
