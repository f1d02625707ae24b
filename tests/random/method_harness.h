// A method installed into a descriptor with its own state area, for driving slots directly.
#pragma once

#include <cstring>
#include <string>

#include "random/method_list.h"
#include "random/stream.h"

namespace rng_test {

struct MethodHarness {
  rng::MethodDescriptor descriptor{};
  alignas(8) uint8_t state[rng::kStateAreaBytes]{};

  explicit MethodHarness(rng::Method method) { rng::methodEntry(method).install(&descriptor); }
  static rng::Method byName(const std::string& name) {
    for (int i = 0; i < rng::kMethodCount; ++i)
      if (name == rng::kMethods[i].name) return static_cast<rng::Method>(i);
    return name == "MT2002" ? rng::Method::MT32 : static_cast<rng::Method>(-1);
  }
  rng::MethodOperations& ops() { return descriptor.ops; }
};

}  // namespace rng_test
