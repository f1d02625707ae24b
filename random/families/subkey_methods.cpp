// Install routines of SUBKEY32 and SUBKEY64: x steps down by the key, so the stream number
// (through the key) sets the step and stream 0 repeats the seed. Useful to see exactly which
// values a consumer draws. No counters: slots 11 and 12 carry the empty operation.
#include "random/families/method_adapters.h"
#include "random/families/small_generators.h"
#include "random/method_list.h"
#include "random/state_listing.h"

namespace rng {
namespace {

using families::stateOf;

// Seeding sets x only; the key keeps its value.
template <typename Word>
void seedSubkey(SubkeyState<Word>& s, Word seed) {
  s.x = seed;
}

// `key double` stores the reduced value for any non-zero, non-missing x, even when the
// reduction is 0 (x a multiple of the word range).
bool keyDoubleApplies(double x) {
  return !std::isnan(x) && !std::isinf(x) && !isMissingValue(x) && x != 0.0;
}

template <typename Word>
void fillSubkeyKeys(MethodOperations& ops) {
  using State = SubkeyState<Word>;
  ops.key32 = [](void* state, uint32_t value) -> uint32_t {
    if (value != 0) stateOf<State>(state).key = value;
    return 0;
  };
  // A non-zero 64-bit value replaces the key; SUBKEY32 keeps its low half even when that is 0.
  ops.key64 = [](void* state, uint64_t value) -> uint32_t {
    if (value != 0) stateOf<State>(state).key = static_cast<Word>(value);
    return 0;
  };
  ops.keyDouble = [](void* state, double value) -> uint32_t {
    if (!keyDoubleApplies(value)) return 0;
    if constexpr (sizeof(Word) == 4) {
      stateOf<State>(state).key = families::keyFromDouble32(value);
    } else {
      stateOf<State>(state).key = families::keyFromDouble64(value);
    }
    return 0;
  };
  fillEmptyCounterSlots(ops);
}

}  // namespace

void installSubkey32(MethodDescriptor* descriptor) {
  installCommon(descriptor, "SUBKEY32", u"SUBKEY32", "32-bit Subtract Key", 0x082F);
  families::setLimits(descriptor, 32, 4, 0xFFFFFFFFu, 0xFFFFFFFFu);
  MethodOperations& ops = descriptor->ops;
  constexpr uint64_t kBytes = sizeof(Subkey32State);
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"SUBKEY32", kBytes); };
  ops.list32 = &list32Of<kBytes>;
  ops.list64 = &list64Of<kBytes>;
  ops.seedBytes = &seedBytesOf<4>;
  families::fillSeeds32<Subkey32State, &seedSubkey<uint32_t>>(ops);
  fillSubkeyKeys<uint32_t>(ops);
  families::fillDraws32<&families::next32Of32<Subkey32State, &drawSubkey<uint32_t>>,
                        &families::next64Of32<Subkey32State, &drawSubkey<uint32_t>>>(ops);
}

void installSubkey64(MethodDescriptor* descriptor) {
  installCommon(descriptor, "SUBKEY64", u"SUBKEY64", "64-bit Subtract Key", 0x1057);
  families::setLimits(descriptor, 64, 8, UINT64_MAX, UINT64_MAX);
  MethodOperations& ops = descriptor->ops;
  constexpr uint64_t kBytes = sizeof(Subkey64State);
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"SUBKEY64", kBytes); };
  ops.list32 = &list32Of<kBytes>;
  ops.list64 = &list64Of<kBytes>;
  ops.seedBytes = &seedBytesOf<8>;
  families::fillSeeds64<Subkey64State, &seedSubkey<uint64_t>>(ops);
  fillSubkeyKeys<uint64_t>(ops);
  families::fillDraws64<&families::next32Of64<Subkey64State, &drawSubkey<uint64_t>>,
                        &families::next64Of64<Subkey64State, &drawSubkey<uint64_t>>>(ops);
}

}  // namespace rng
