// A small in-memory metadata client interface for the session-runtime tests: exact control over
// what the interface answers, how often it is asked, and which pool allocation fails, so the
// cache's bookkeeping can be checked block by block. The object-function tests use the real
// repository instead.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mdaccess/md_abi.h"

namespace testing_support {

struct FakeObject {
  std::string type;
  std::string identifier;
};

class FakeMetadataServer {
 public:
  FakeMetadataServer();
  ~FakeMetadataServer();

  // A new interface over this server (what hostGetMetadataInterface hands out).
  MetadataInterface* open();

  // URIs compare exactly as given (the cache is what must fold case and blanks).
  std::map<std::string, std::vector<FakeObject>> uris;
  std::vector<std::string> typeNames;
  double version = 9.4;
  int32_t paused = 0;
  StatusCode pathStatus = kStatusOk;   // answer of findByPath
  std::vector<FakeObject> pathObjects;  // what a successful findByPath finds
  std::vector<std::string> pathTexts;   // the three texts of each findByPath, as received
  StatusCode resolveStatus = kStatusOk;  // forced failure of resolveUri (0: answer normally)

  // Counters.
  int resolveCalls = 0;
  int namespaceCalls = 0;
  int interfacesOpened = 0;
  int interfacesReleased = 0;
  int namespacesReleased = 0;
  int listsReleased = 0;
  std::vector<std::string> resolvedTexts;

  // Pool accounting and fault injection: the k-th allocation from now fails (0: none).
  int64_t blocksOutstanding() const { return static_cast<int64_t>(blocks_.size()); }
  uint64_t allocations = 0;
  int badFrees = 0;
  void failAllocationAt(uint64_t k) { failAt_ = k == 0 ? 0 : allocations + k; }

  // Internals used by the C entry points.
  void* allocate(uint64_t size);
  void release(void* block);
  MetadataObject* buildList(const std::vector<FakeObject>& objects, MetadataInterface* owner);
  void releaseList(MetadataObject* head);

 private:
  MetadataPool pool_{};
  std::set<void*> blocks_;
  std::vector<MetadataInterface*> interfaces_;
  uint64_t failAt_ = 0;
};

}  // namespace testing_support
