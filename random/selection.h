// Method selection by name into a descriptor.
#pragma once

#include <cstdint>

#include "frame/host_abi.h"
#include "random/method_descriptor.h"

namespace rng {

// Trims the name, converts an 8-bit name to UTF-16, reads "OSENV.RUX_RNG_METHOD" for an empty
// one, and installs the first method whose accepted name equals it (ignoring case). `name` is
// UTF-16 when options bit 0 is set, else 8-bit; length < 0: ends at its zero; null counts as
// empty. Always leaves a usable descriptor: MTHYBRID with 0x8C7FE80B for a name of 16 or more
// characters or an unknown one, with 0x8C7FE80C for a state-less method without RDRAND.
StatusCode selectMethod(const void* name, int64_t length, MethodDescriptor* descriptor,
                        uint64_t options);

// The accepted names in the order selection tries them, each with the 8-bit name of the method
// it installs; for tools that list or check names before a stream exists.
struct AcceptedName {
  const char16_t* name;
  const char* method;
};
int acceptedNameCount();
AcceptedName acceptedName(int index);  // 0 <= index < acceptedNameCount()

}  // namespace rng
