#include "host/counting_allocator.h"

#include <cstdlib>

namespace refhost::detail {
namespace {

void* allocateEntry(HostAllocator* allocator, uint64_t size, uint32_t tag) {
  CountingAllocator* self = CountingAllocator::from(allocator);
  return self ? self->allocate(size, tag) : nullptr;
}

void releaseEntry(HostAllocator* allocator, void* block) {
  if (CountingAllocator* self = CountingAllocator::from(allocator)) self->release(block);
}

const HostAllocatorOps kOps = {allocateEntry, releaseEntry};

}  // namespace

CountingAllocator::CountingAllocator(FaultCounter* shared) : shared_(shared) {
  abi_.ops = &kOps;
  abi_.hostPrivate = this;
}

CountingAllocator::~CountingAllocator() { releaseAll(); }

CountingAllocator* CountingAllocator::from(const HostAllocator* allocator) {
  if (!allocator || allocator->ops != &kOps) return nullptr;
  return static_cast<CountingAllocator*>(allocator->hostPrivate);
}

void* CountingAllocator::allocate(uint64_t size, uint32_t tag) {
  ++stats_.requests;
  bool fail = own_.take();
  if (shared_ && shared_->take()) fail = true;
  if (hook_ && *hook_ && (*hook_)()) fail = true;
  // A zero-size request still gets a distinct block so that release stays well defined.
  void* block = fail ? nullptr : std::calloc(1, size == 0 ? 1 : static_cast<size_t>(size));
  if (!block) {
    ++stats_.failures;
    return nullptr;
  }
  blocks_.emplace(block, Block{size, tag});
  ++stats_.blocksOutstanding;
  stats_.bytesOutstanding += size;
  return block;
}

void CountingAllocator::release(void* block) {
  if (!block) return;
  auto it = blocks_.find(block);
  if (it == blocks_.end()) {
    ++stats_.badReleases;
    return;
  }
  stats_.bytesOutstanding -= it->second.size;
  --stats_.blocksOutstanding;
  ++stats_.releases;
  blocks_.erase(it);
  std::free(block);
}

void CountingAllocator::releaseAll() {
  for (auto& [block, info] : blocks_) std::free(block);
  blocks_.clear();
  stats_.blocksOutstanding = 0;
  stats_.bytesOutstanding = 0;
}

uint64_t CountingAllocator::blocksWithTag(uint32_t tag) const {
  uint64_t n = 0;
  for (const auto& [block, info] : blocks_)
    if (info.tag == tag) ++n;
  return n;
}

}  // namespace refhost::detail
