// The random stream: one zero-filled block holding the stream's settings, a copy of the chosen
// method descriptor and the generator state. Created by createStream (random/engine.h); the host
// owns the block and the engine never frees it.
//
// Invariants: `descriptor` points at `embedded`; the three state pointers point at `state`;
// after initialisation the eye-catchers hold kEyeCatcher1 and kEyeCatcher2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/host_abi.h"
#include "random/method_descriptor.h"
#include "random/selection.h"

namespace rng {

inline constexpr uint64_t kEyeCatcher1 = 123456789;
inline constexpr uint64_t kEyeCatcher2 = 987654321;
inline constexpr uint64_t kStateAreaBytes = 2512;

// Option flags.
inline constexpr uint64_t kOptionWideName = 1;       // a name handed to selection is UTF-16
inline constexpr uint64_t kOptionSeedReported = 2;   // the seed report has been given
inline constexpr uint64_t kOptionReportPending = 4;  // a seed report is due after re-selection

// Cached-deviate reset values: they mark that no derived deviate is cached.
inline constexpr uint64_t kNoDeviateBits = 0xC00921FB54442D18ull;  // -3.141592653589793
inline constexpr uint32_t kNoDeviateWord = 0x80000001u;

// Status codes of initialisation.
inline constexpr StatusCode kStatusNoStream = 0x803FC002u;
inline constexpr StatusCode kStatusUnknownMethod = 0x8C7FE80Bu;
inline constexpr StatusCode kStatusNoRdrand = 0x8C7FE80Cu;
inline constexpr StatusCode kStatusSeedIgnored = 0x8C7FE80Du;
inline constexpr StatusCode kStatusStreamIgnored = 0x8C7FE80Fu;
inline constexpr StatusCode kStatusStreamRange = 0x8C7FE810u;

struct RandomStream {
  uint64_t eyeCatcher1;              // 123456789 after every initialisation
  char16_t methodName[16];           // copy of the descriptor's wide name
  uint64_t seed;                     // caller's seed; 0 → clock seed at initialisation
  uint64_t streamNumber;
  uint64_t substream;                // combined with the stream number into the key
  uint64_t optionFlags;              // kOption*
  uint64_t unusedOne;                // 1 at creation
  uint64_t unusedZero;               // 0 at creation
  StatusCode status;                 // first non-zero status of the last initialisation
  uint8_t initialised;               // 0 while selecting, 1 when complete
  uint8_t padding1[3];
  uint64_t stateSize;                // bytes of state in use (method's `size`)
  void* statePointers[3];            // all point at `state`
  DoubleOperation uniform;           // the stream's uniform operation
  MethodDescriptor* descriptor;      // points at `embedded`
  MessageObject* messageObject;      // informational copy of the runtime's message object
  double cachedDeviates[3];          // reset to -pi
  uint32_t cachedWord1;              // reset to 0x80000001
  uint32_t cachedWord2;              // reset to 0
  uint64_t cachedWord3;              // reset to 0
  uint64_t seedUsed;                 // the seed finally applied
  uint32_t seedCheck;                // MurmurHash3 finaliser fingerprint of seedUsed
  uint32_t padding2;
  uint64_t eyeCatcher2;              // 987654321 after every initialisation
  const char* selectedName;          // == embedded.name once a method was selected
  double seedDouble;                 // top 16 bits all ones: missing
  double streamNumberDouble;         // same convention
  MethodDescriptor embedded;
  alignas(8) uint8_t state[kStateAreaBytes];
};
static_assert(offsetof(RandomStream, methodName) == 8);
static_assert(offsetof(RandomStream, seed) == 40);
static_assert(offsetof(RandomStream, streamNumber) == 48);
static_assert(offsetof(RandomStream, substream) == 56);
static_assert(offsetof(RandomStream, optionFlags) == 64);
static_assert(offsetof(RandomStream, status) == 88);
static_assert(offsetof(RandomStream, initialised) == 92);
static_assert(offsetof(RandomStream, stateSize) == 96);
static_assert(offsetof(RandomStream, statePointers) == 104);
static_assert(offsetof(RandomStream, uniform) == 128);
static_assert(offsetof(RandomStream, descriptor) == 136);
static_assert(offsetof(RandomStream, messageObject) == 144);
static_assert(offsetof(RandomStream, cachedDeviates) == 152);
static_assert(offsetof(RandomStream, cachedWord1) == 176);
static_assert(offsetof(RandomStream, seedUsed) == 192);
static_assert(offsetof(RandomStream, seedCheck) == 200);
static_assert(offsetof(RandomStream, eyeCatcher2) == 208);
static_assert(offsetof(RandomStream, selectedName) == 216);
static_assert(offsetof(RandomStream, seedDouble) == 224);
static_assert(offsetof(RandomStream, streamNumberDouble) == 232);
static_assert(offsetof(RandomStream, embedded) == 240);
static_assert(offsetof(RandomStream, state) == 240 + sizeof(MethodDescriptor));
static_assert(sizeof(RandomStream) == 240 + sizeof(MethodDescriptor) + kStateAreaBytes);

}  // namespace rng
