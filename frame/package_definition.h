// What distinguishes one deliverable from the other: each package defines these objects once (in
// its registration table file); the shared entry code in frame/ reads them.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "frame/host_abi.h"

namespace frame {

// A callback address as the callback block stores it; the form is told by the callWord.
using AnyCallback = void (*)();

struct PackageDefinition {
  const ModuleRecord* moduleRecord;
  const FunctionDescriptor* descriptors;  // static table, registration order
  const AnyCallback* callbacks;           // one per descriptor, same order
  int32_t count;
};

// Defined by the package.
extern const PackageDefinition kPackage;
extern const ModuleRecord kModuleRecord;

// The registration handler the module record points at (shared code, reads kPackage).
void* registrationHandler(int32_t request);

// Packs argument kinds from argument 1 upward into an argWord (3 bits each).
constexpr uint32_t argWord(std::initializer_list<uint32_t> kinds) {
  uint32_t word = 0;
  int shift = 0;
  for (uint32_t kind : kinds) {
    word |= kind << shift;
    shift += 3;
  }
  return word;
}

constexpr ModuleRecord makeModuleRecord(const char (&name)[9], uint32_t identification) {
  ModuleRecord record{};
  record.lead[0] = 0x00;
  record.lead[1] = 0x00;
  record.lead[2] = 0xFF;
  record.lead[3] = 0xFF;
  record.field4 = 1024;
  record.field8 = 1024;
  for (int i = 0; i < 8; ++i) record.moduleName[i] = name[i];
  record.registrationHandler = &registrationHandler;
  record.field32 = 1;
  record.field36 = 9683;
  record.identification = identification;
  record.field44 = 15;
  return record;
}

template <typename Callback>
AnyCallback anyCallback(Callback callback) {
  return reinterpret_cast<AnyCallback>(callback);
}

}  // namespace frame
