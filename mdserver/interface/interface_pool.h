// The interface pool: the allocator behind member 3 of a metadata client interface. Every
// block handed to a package, and every block a package hands back, passes through here, so the
// pool can count blocks and bytes outstanding and catch frees of blocks it never gave out (or
// gave out and already took back) instead of corrupting memory.
//
// Not thread-safe: one pool per interface, and an interface serves one session's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "mdaccess/md_abi.h"
#include "mdserver/interface/block_table.h"

namespace mdserver {

struct PoolCounts {
  uint64_t blocksOutstanding = 0;
  uint64_t bytesOutstanding = 0;
  uint64_t allocations = 0;      // successful allocations, ever
  uint64_t releases = 0;         // successful releases, ever
  uint64_t failedAllocations = 0;
  uint64_t invalidReleases = 0;  // frees of unknown blocks (double free, foreign pointer)
};

class InterfacePool {
 public:
  InterfacePool();
  ~InterfacePool();  // frees whatever is still outstanding
  InterfacePool(const InterfacePool&) = delete;
  InterfacePool& operator=(const InterfacePool&) = delete;

  static InterfacePool* fromAbi(MetadataPool* pool);
  MetadataPool* abi() { return &abi_; }

  // Zero-filled block, or null (size 0 still yields a distinct block).
  void* allocate(uint64_t size);
  void release(void* block);  // null is ignored; unknown blocks are counted, not freed
  char* copyText(const char* text, size_t length);  // length + 1 bytes, NUL-terminated
  bool owns(const void* block) const { return live_.find(block, nullptr); }

  const PoolCounts& counts() const { return counts_; }
  // The k-th allocation request from now (1 = the next) fails; with persistent, every request
  // from then on fails too. 0 disarms.
  void failAllocationAt(uint64_t k, bool persistent = false);
  // Asked before every request; true fails it (shared by all pools of a run).
  void setFaultHook(std::function<bool()> hook) { faultHook_ = std::move(hook); }

 private:
  MetadataPool abi_{};
  BlockTable live_;
  PoolCounts counts_;
  uint64_t failCountdown_ = 0;
  bool failPersistent_ = false;
  bool failing_ = false;
  std::function<bool()> faultHook_;
};

}  // namespace mdserver
