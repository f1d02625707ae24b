#include "mdserver/interface/interface_pool.h"

#include <cstdlib>
#include <cstring>

namespace mdserver {
namespace {

void* poolAllocateThunk(MetadataPool* pool, uint64_t size, uint32_t /*flags: always zeroed*/) {
  return InterfacePool::fromAbi(pool)->allocate(size);
}

void poolReleaseThunk(MetadataPool* pool, void* block) {
  InterfacePool::fromAbi(pool)->release(block);
}

}  // namespace

InterfacePool::InterfacePool() {
  abi_.allocate = &poolAllocateThunk;
  abi_.release = &poolReleaseThunk;
  abi_.serverPrivate[0] = this;
}

InterfacePool::~InterfacePool() {
  live_.forEach([](void* block, uint64_t) { std::free(block); });
}

InterfacePool* InterfacePool::fromAbi(MetadataPool* pool) {
  return static_cast<InterfacePool*>(pool->serverPrivate[0]);
}

void InterfacePool::failAllocationAt(uint64_t k, bool persistent) {
  failCountdown_ = k;
  failPersistent_ = persistent;
  failing_ = false;
}

void* InterfacePool::allocate(uint64_t size) {
  const bool hooked = faultHook_ && faultHook_();
  if (hooked || failing_ || (failCountdown_ != 0 && --failCountdown_ == 0)) {
    if (hooked) {
      ++counts_.failedAllocations;
      return nullptr;
    }
    failing_ = failPersistent_;
    ++counts_.failedAllocations;
    return nullptr;
  }
  void* block = std::calloc(1, size == 0 ? 1 : size);
  if (!block) {
    ++counts_.failedAllocations;
    return nullptr;
  }
  if (!live_.insert(block, size)) {
    std::free(block);
    ++counts_.failedAllocations;
    return nullptr;
  }
  ++counts_.allocations;
  ++counts_.blocksOutstanding;
  counts_.bytesOutstanding += size;
  return block;
}

void InterfacePool::release(void* block) {
  if (!block) return;
  uint64_t size = 0;
  if (!live_.erase(block, &size)) {
    ++counts_.invalidReleases;
    return;
  }
  counts_.bytesOutstanding -= size;
  --counts_.blocksOutstanding;
  ++counts_.releases;
  std::free(block);
}

char* InterfacePool::copyText(const char* text, size_t length) {
  char* copy = static_cast<char*>(allocate(length + 1));
  if (copy && length) std::memcpy(copy, text, length);
  return copy;
}

}  // namespace mdserver
