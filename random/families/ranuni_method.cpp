// Install routine of RANUNI, the multiplicative congruential generator modulo 2^31 − 1. Its
// preferred uniform x / (2^31 − 1) is the stream's uniform; the shared 32-bit conversions see the
// 31-bit x as it stands and so stay below 0.5. It has no description, no streams, no counters
// and no `seed bytes`.
#include "random/families/method_adapters.h"
#include "random/families/small_generators.h"
#include "random/method_list.h"
#include "random/state_listing.h"

namespace rng {

void installRanuni(MethodDescriptor* descriptor) {
  installCommon(descriptor, "RANUNI", u"RANUNI", nullptr, 0x080A);
  // Seed state bytes stay unrecorded (0).
  families::setLimits(descriptor, 31, 0, 0xFFFFFFFFu, 0);
  MethodOperations& ops = descriptor->ops;
  constexpr uint64_t kBytes = sizeof(RanuniState);
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"RANUNI", kBytes); };
  ops.list32 = &list32Of<kBytes>;
  ops.list64 = &list64Of<kBytes>;
  ops.seedBytes = &seedBytesRefused;
  families::fillSeeds32<RanuniState, &seedRanuni>(ops);
  fillEmptyStreamSlots(ops);
  families::fillDraws32<&families::next32Of32<RanuniState, &stepRanuni>,
                        &families::next64Of32<RanuniState, &stepRanuni>>(ops);
  ops.preferredUniform = [](void* state) -> double {
    return stepRanuni(families::stateOf<RanuniState>(state)) / 2147483647.0;
  };
}

}  // namespace rng
