// Install routines of the counter-based methods FRY2X32, FRY2X64 and FRY4X64: each key (seed
// and stream) selects an independent sequence, each counter value one block of outputs.
#include "random/families/method_adapters.h"
#include "random/families/threefry.h"
#include "random/method_list.h"
#include "random/state_listing.h"

namespace rng {
namespace {

using families::stateOf;

template <typename State>
typename State::WordType drawThreefry(State& state) {
  return state.draw();
}

// --- FRY2X32 ------------------------------------------------------------------------------------
constexpr uint64_t kFry2x32Bytes = sizeof(Fry2x32State);

void fillFry2x32(MethodOperations& ops) {
  ops.size = [](void*) -> uint64_t { return noteStateSize(u"FRY2X32", kFry2x32Bytes); };
  ops.list32 = &list32Of<kFry2x32Bytes>;
  ops.list64 = &list64Of<kFry2x32Bytes>;
  ops.seedBytes = &seedBytesOf<8>;
  families::fillSeeds32<Fry2x32State, &seedFry2x32>(ops);
  families::fillKeys32<Fry2x32State, &keyFry2x32>(ops);
  ops.counter32 = [](void* state, uint32_t value) -> uint32_t {
    counterFry2x32(stateOf<Fry2x32State>(state), value);
    return 0;
  };
  ops.counter64 = [](void* state, uint64_t value) -> uint32_t {
    counterFry2x32(stateOf<Fry2x32State>(state), static_cast<uint32_t>(value));
    return 0;
  };
  ops.advance32 = [](void* state, uint32_t position) {
    stateOf<Fry2x32State>(state).advance(position);
  };
  using Draw = uint32_t (*)(Fry2x32State&);
  constexpr Draw kDraw = &drawThreefry<Fry2x32State>;
  families::fillDraws32<&families::next32Of32<Fry2x32State, kDraw>,
                        &families::next64Of32<Fry2x32State, kDraw>>(ops);
}

// --- FRY2X64 and FRY4X64 ---------------------------------------------------------------------
// The two 64-bit methods differ only in their state, seeding and the word their counter mixes
// into; Traits supplies those.
struct Fry2x64Traits {
  using State = Fry2x64State;
  static constexpr const char16_t* kWideName = u"FRY2X64";
  static void seed(State& s, uint64_t v) { seedFry2x64(s, v); }
  static void key(State& s, uint64_t v) { keyFry2x64(s, v); }
  static void counter(State& s, uint64_t v) { counterFry2x64(s, v); }
};
struct Fry4x64Traits {
  using State = Fry4x64State;
  static constexpr const char16_t* kWideName = u"FRY4X64";
  static void seed(State& s, uint64_t v) { seedFry4x64(s, v); }
  static void key(State& s, uint64_t v) { keyFry4x64(s, v); }
  static void counter(State& s, uint64_t v) { counterFry4x64(s, v); }
};

template <typename Traits>
void fillFry64(MethodOperations& ops) {
  using State = typename Traits::State;
  constexpr uint64_t kBytes = sizeof(State);
  ops.size = [](void*) -> uint64_t { return noteStateSize(Traits::kWideName, kBytes); };
  ops.list32 = &list32Of<kBytes>;
  ops.list64 = &list64Of<kBytes>;
  // A seed determines the counter words, which open the state.
  ops.seedBytes = &seedBytesOf<State::kBufferWords * 8>;
  families::fillSeeds64<State, &Traits::seed>(ops);
  families::fillKeys64<State, &Traits::key>(ops);
  ops.counter32 = [](void* state, uint32_t value) -> uint32_t {
    Traits::counter(stateOf<State>(state), value);
    return 0;
  };
  ops.counter64 = [](void* state, uint64_t value) -> uint32_t {
    Traits::counter(stateOf<State>(state), value);
    return 0;
  };
  ops.advance64 = [](void* state, uint64_t position) { stateOf<State>(state).advance(position); };
  using Draw = uint64_t (*)(State&);
  constexpr Draw kDraw = &drawThreefry<State>;
  families::fillDraws64<&families::next32Of64<State, kDraw>,
                        &families::next64Of64<State, kDraw>>(ops);
}

}  // namespace

void installFry2x32(MethodDescriptor* descriptor) {
  installCommon(descriptor, "FRY2X32", u"FRY2X32", "32-bit Random123 2x32-bit Threefry", 0x0AAF);
  families::setLimits(descriptor, 32, 8, 0xFFFFFFFFu, 0xFFFFFFFFu);
  fillFry2x32(descriptor->ops);
}

void installFry2x64(MethodDescriptor* descriptor) {
  installCommon(descriptor, "FRY2X64", u"FRY2X64", "64-bit Random123 2x64-bit Threefry", 0x1557);
  families::setLimits(descriptor, 64, 16, UINT64_MAX, UINT64_MAX);
  fillFry64<Fry2x64Traits>(descriptor->ops);
}

void installFry4x64(MethodDescriptor* descriptor) {
  installCommon(descriptor, "FRY4X64", u"FRY4X64", "64-bit Random123 4x64-bit Threefry", 0x1557);
  families::setLimits(descriptor, 64, 32, UINT64_MAX, UINT64_MAX);
  fillFry64<Fry4x64Traits>(descriptor->ops);
}

}  // namespace rng
