// Install routine of RDRAND: the processor's hardware generator. No state, no seed, no keys; the
// seed and key slots carry the empty operation. Every draw asks the probe first, so a stream
// never executes the instruction on a processor without it; such a draw delivers 0.
#include "random/families/method_adapters.h"
#include "random/method_list.h"

namespace rng {
namespace {

uint32_t rdrandNext32(void*) { return rdrandAvailable() ? rdrand32() : 0; }
uint64_t rdrandNext64(void*) { return rdrandAvailable() ? rdrand64() : 0; }

}  // namespace

void installRdrand(MethodDescriptor* descriptor) {
  installCommon(descriptor, "RDRAND", u"RDRAND", "Intel RDRAND", 0x3801);
  families::setLimits(descriptor, 0, 0, 0, 0);
  MethodOperations& ops = descriptor->ops;
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"RDRAND", 0); };
  // Nothing to list.
  ops.list32 = [](void*, int64_t) {};
  ops.list64 = [](void*, int64_t) {};
  ops.seedBytes = kEmptySeedBytes;
  ops.seed32 = kEmptyValue32;
  ops.seed64 = kEmptyValue64;
  ops.seedDouble = kEmptyValueDouble;
  fillEmptyStreamSlots(ops);
  // Both conversion groups; `uniform` and fast uniform come from the 64-bit group.
  families::fillDraws64<&rdrandNext32, &rdrandNext64>(ops);
  fillConversions32<&rdrandNext32>(ops);
}

}  // namespace rng
