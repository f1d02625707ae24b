// Install routine of MH3: the iterated MurmurHash3 64-bit finaliser. It has no streams and no
// counters; the key and counter slots carry the empty operation.
#include "random/families/method_adapters.h"
#include "random/families/small_generators.h"
#include "random/method_list.h"
#include "random/state_listing.h"

namespace rng {

void installMh3(MethodDescriptor* descriptor) {
  installCommon(descriptor, "MH3", u"MH3", "64-bit Murmur Hash 3", 0x1017);
  families::setLimits(descriptor, 64, 8, UINT64_MAX, 0);
  MethodOperations& ops = descriptor->ops;
  constexpr uint64_t kBytes = sizeof(Mh3State);
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"MH3", kBytes); };
  ops.list32 = &list32Of<kBytes>;
  ops.list64 = &list64Of<kBytes>;
  ops.seedBytes = &seedBytesOf<8>;
  families::fillSeeds64<Mh3State, &seedMh3>(ops);
  fillEmptyStreamSlots(ops);
  families::fillDraws64<&families::next32Of64<Mh3State, &drawMh3>,
                        &families::next64Of64<Mh3State, &drawMh3>>(ops);
}

}  // namespace rng
