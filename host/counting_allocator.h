// A HostAllocator that hands out zero-filled blocks, keeps every block it holds with its size and
// tag, counts requests and outstanding blocks, and fails a chosen request on demand.
//
// Contract: release of a block the allocator does not hold is counted (badReleases) and ignored,
// so a double free by a package shows in the statistics instead of corrupting the heap.
// releaseAll() frees what is still outstanding (end of a session pool, end of the host).
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>

#include "frame/host_abi.h"
#include "host/reference_host.h"

namespace refhost::detail {

// A fault counter that several allocators can share (all session pools of a host).
struct FaultCounter {
  uint64_t failAt = 0;  // 0: never; else the request number (counted from arming) that fails
  uint64_t seen = 0;
  bool take() {  // counts one request; true when this one must fail
    if (failAt == 0) return false;
    if (++seen == failAt) {
      failAt = 0;
      seen = 0;
      return true;
    }
    return false;
  }
  void arm(uint64_t k) {
    failAt = k;
    seen = 0;
  }
};

class CountingAllocator {
 public:
  explicit CountingAllocator(FaultCounter* shared = nullptr);
  ~CountingAllocator();
  CountingAllocator(const CountingAllocator&) = delete;
  CountingAllocator& operator=(const CountingAllocator&) = delete;

  HostAllocator* abi() { return &abi_; }
  const HostAllocator* abi() const { return &abi_; }
  static CountingAllocator* from(const HostAllocator* allocator);

  void* allocate(uint64_t size, uint32_t tag);
  void release(void* block);
  void releaseAll();
  bool holds(const void* block) const { return blocks_.count(const_cast<void*>(block)) != 0; }
  uint64_t blocksWithTag(uint32_t tag) const;

  const AllocatorStats& stats() const { return stats_; }
  void failAt(uint64_t k) { own_.arm(k); }
  // A question asked before every request; true fails it. Shared by all allocators of a host
  // (mdhost --fail-allocation counts over all of them and the interface pools).
  void setFaultHook(const std::function<bool()>* hook) { hook_ = hook; }

 private:
  struct Block {
    uint64_t size;
    uint32_t tag;
  };
  HostAllocator abi_;
  FaultCounter own_;
  FaultCounter* shared_;
  const std::function<bool()>* hook_ = nullptr;
  AllocatorStats stats_;
  std::unordered_map<void*, Block> blocks_;
};

}  // namespace refhost::detail
