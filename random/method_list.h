// The single list of the nineteen generator methods. It drives the install declarations, the
// method table used by selection, and the known-answer tests: add a method here and nowhere else.
//
// X(NAME, installRoutine): NAME is the method's 8-bit name as a bare token.
#pragma once

#include "random/method_descriptor.h"

#define RUX_RNG_METHODS(X)      \
  X(FRY2X32, installFry2x32)    \
  X(FRY2X64, installFry2x64)    \
  X(FRY4X64, installFry4x64)    \
  X(MH3, installMh3)            \
  X(MT1998, installMt1998)      \
  X(MT32, installMt32)          \
  X(MT64, installMt64)          \
  X(MTHYBRID, installMtHybrid)  \
  X(PCG32I, installPcg32i)      \
  X(PCG64I, installPcg64i)      \
  X(RANUNI, installRanuni)      \
  X(RDRAND, installRdrand)      \
  X(SUBKEY32, installSubkey32)  \
  X(SUBKEY64, installSubkey64)  \
  X(XOR1024, installXor1024)    \
  X(XOR128, installXor128)      \
  X(XOR4096, installXor4096)    \
  X(XOR64, installXor64)        \
  X(XORGENS, installXorgens)

namespace rng {

#define RUX_RNG_DECLARE_INSTALL(NAME, install) void install(MethodDescriptor* descriptor);
RUX_RNG_METHODS(RUX_RNG_DECLARE_INSTALL)
#undef RUX_RNG_DECLARE_INSTALL

enum class Method : int {
#define RUX_RNG_ENUM(NAME, install) NAME,
  RUX_RNG_METHODS(RUX_RNG_ENUM)
#undef RUX_RNG_ENUM
};

struct MethodEntry {
  const char* name;
  InstallRoutine install;
};

inline constexpr MethodEntry kMethods[] = {
#define RUX_RNG_ENTRY(NAME, install) {#NAME, &install},
    RUX_RNG_METHODS(RUX_RNG_ENTRY)
#undef RUX_RNG_ENTRY
};
inline constexpr int kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);
static_assert(kMethodCount == 19);

inline constexpr const MethodEntry& methodEntry(Method method) {
  return kMethods[static_cast<int>(method)];
}

}  // namespace rng
