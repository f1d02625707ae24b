// Install routines of the xorshift methods XOR64, XOR128, XOR1024, XOR4096 and XORGENS. None has
// streams or counters (slots 8-12 carry the empty operation). XORGENS has no `seed bytes`: its
// Weyl value and index are not a prefix of the state a byte string could determine.
#include "random/families/method_adapters.h"
#include "random/families/small_generators.h"
#include "random/method_list.h"
#include "random/state_listing.h"

namespace rng {
namespace {

// Everything but names, sizes and the seed-bytes form is the same for the five methods.
template <typename State, void (*Seed)(State&, uint64_t), uint64_t (*Draw)(State&)>
void fillXorshift(MethodOperations& ops) {
  constexpr uint64_t kBytes = sizeof(State);
  ops.list32 = &list32Of<kBytes>;
  ops.list64 = &list64Of<kBytes>;
  families::fillSeeds64<State, Seed>(ops);
  fillEmptyStreamSlots(ops);
  families::fillDraws64<&families::next32Of64<State, Draw>, &families::next64Of64<State, Draw>>(
      ops);
}

}  // namespace

void installXor64(MethodDescriptor* descriptor) {
  installCommon(descriptor, "XOR64", u"XOR64", "64-bit XORSHIFT64*", 0x1017);
  families::setLimits(descriptor, 64, 8, UINT64_MAX, 0);
  MethodOperations& ops = descriptor->ops;
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"XOR64", sizeof(Xor64State)); };
  ops.seedBytes = &seedBytesOf<8>;
  fillXorshift<Xor64State, &seedXor64, &drawXor64>(ops);
}

void installXor128(MethodDescriptor* descriptor) {
  installCommon(descriptor, "XOR128", u"XOR128", "64-bit XORSHIFT128+", 0x1017);
  families::setLimits(descriptor, 64, 16, UINT64_MAX, 0);
  MethodOperations& ops = descriptor->ops;
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"XOR128", sizeof(Xor128State)); };
  ops.seedBytes = &seedBytesOf<16>;
  fillXorshift<Xor128State, &seedXor128, &drawXor128>(ops);
}

void installXor1024(MethodDescriptor* descriptor) {
  installCommon(descriptor, "XOR1024", u"XOR1024", "64-bit XORSHIFT1024*", 0x1017);
  families::setLimits(descriptor, 64, 128, UINT64_MAX, 0);
  MethodOperations& ops = descriptor->ops;
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"XOR1024", sizeof(Xor1024State)); };
  ops.seedBytes = &seedBytesOf<128>;
  fillXorshift<Xor1024State, &seedXorRing<16>, &drawXor1024>(ops);
}

void installXor4096(MethodDescriptor* descriptor) {
  installCommon(descriptor, "XOR4096", u"XOR4096", "64-bit XORSHIFT4096*", 0x1017);
  families::setLimits(descriptor, 64, 512, UINT64_MAX, 0);
  MethodOperations& ops = descriptor->ops;
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"XOR4096", sizeof(Xor4096State)); };
  ops.seedBytes = &seedBytesOf<512>;
  fillXorshift<Xor4096State, &seedXorRing<64>, &drawXor4096>(ops);
}

// The seed state bytes stay unrecorded (0), as for RANUNI and RDRAND; selection treats such a
// method as available only on a processor with RDRAND.
void installXorgens(MethodDescriptor* descriptor) {
  installCommon(descriptor, "XORGENS", u"XORGENS", "64-bit XORGENS*", 0x1013);
  families::setLimits(descriptor, 64, 0, UINT64_MAX, 0);
  MethodOperations& ops = descriptor->ops;
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"XORGENS", sizeof(XorgensState)); };
  ops.seedBytes = &seedBytesRefused;
  fillXorshift<XorgensState, &seedXorgens, &drawXorgens>(ops);
}

}  // namespace rng
