// Install routines of PCG32I and PCG64I. Streams select the increment; neither has counters, so
// slots 11 and 12 carry the empty operation.
#include "random/families/method_adapters.h"
#include "random/families/small_generators.h"
#include "random/method_list.h"
#include "random/state_listing.h"

namespace rng {

void installPcg32i(MethodDescriptor* descriptor) {
  installCommon(descriptor, "PCG32I", u"PCG32I", "32-bit PCG32i", 0x082F);
  families::setLimits(descriptor, 32, 4, 0xFFFFFFFFu, 0x7FFFFFFFu);
  MethodOperations& ops = descriptor->ops;
  constexpr uint64_t kBytes = sizeof(Pcg32State);
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"PCG32I", kBytes); };
  ops.list32 = &list32Of<kBytes>;
  ops.list64 = &list64Of<kBytes>;
  ops.seedBytes = &seedBytesOf<4>;
  families::fillSeeds32<Pcg32State, &seedPcg32>(ops);
  families::fillKeys32<Pcg32State, &keyPcg32>(ops);
  fillEmptyCounterSlots(ops);
  families::fillDraws32<&families::next32Of32<Pcg32State, &drawPcg32>,
                        &families::next64Of32<Pcg32State, &drawPcg32>>(ops);
}

void installPcg64i(MethodDescriptor* descriptor) {
  installCommon(descriptor, "PCG64I", u"PCG64I", "64-bit PCG64i", 0x1057);
  families::setLimits(descriptor, 64, 8, UINT64_MAX, 0x7FFFFFFFFFFFFFFFull);
  MethodOperations& ops = descriptor->ops;
  constexpr uint64_t kBytes = sizeof(Pcg64State);
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"PCG64I", kBytes); };
  ops.list32 = &list32Of<kBytes>;
  ops.list64 = &list64Of<kBytes>;
  ops.seedBytes = &seedBytesOf<8>;
  families::fillSeeds64<Pcg64State, &seedPcg64>(ops);
  families::fillKeys64<Pcg64State, &keyPcg64>(ops);
  fillEmptyCounterSlots(ops);
  families::fillDraws64<&families::next32Of64<Pcg64State, &drawPcg64>,
                        &families::next64Of64<Pcg64State, &drawPcg64>>(ops);
}

}  // namespace rng
