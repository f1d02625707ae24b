// The method descriptor: names, sizes, limits, flags and the 36 operation slots of one generator
// method. A random stream embeds one descriptor; selecting a method clears it and lets the method's
// install routine fill it. Every slot has a fixed position; an absent operation is a null pointer.
//
// Contract: the first argument of every operation is the generator state (the stream's state
// area). Seed, key and counter operations return small codes (0..4, 0xFFFFFFFF for a refused
// `seed bytes`) that the stream ignores.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rng {

struct MethodDescriptor;

// Operation types, one per slot shape.
using SizeOperation = uint64_t (*)(void* state);                                   // slot 1
using ListOperation = void (*)(void* state, int64_t count);                        // slots 2, 3
using SeedBytesOperation = uint32_t (*)(void* state, const uint8_t* bytes, int64_t length,
                                        int32_t mode);                              // slot 4
using Value32Operation = uint32_t (*)(void* state, uint32_t value);                // 5, 8, 11
using Value64Operation = uint32_t (*)(void* state, uint64_t value);                // 6, 9, 12
using ValueDoubleOperation = uint32_t (*)(void* state, double value);              // 7, 10
using Advance32Operation = void (*)(void* state, uint32_t position);               // slot 13
using Advance64Operation = void (*)(void* state, uint64_t position);               // slot 14
using Next32Operation = uint32_t (*)(void* state);                                 // slot 15
using Next64Operation = uint64_t (*)(void* state);                                 // slot 16
using DoubleOperation = double (*)(void* state);                                   // slots 17-36

// The 36 slots in their fixed order. Slot numbers (1-based) are given beside each member.
struct MethodOperations {
  SizeOperation size;                   //  1: state bytes in use; gives note 0x8C7FE852
  ListOperation list32;                 //  2: state as 32-bit words
  ListOperation list64;                 //  3: state as 64-bit words
  SeedBytesOperation seedBytes;         //  4
  Value32Operation seed32;              //  5
  Value64Operation seed64;              //  6
  ValueDoubleOperation seedDouble;      //  7
  Value32Operation key32;               //  8
  Value64Operation key64;               //  9
  ValueDoubleOperation keyDouble;       // 10
  Value32Operation counter32;           // 11
  Value64Operation counter64;           // 12
  Advance32Operation advance32;         // 13
  Advance64Operation advance64;         // 14
  Next32Operation next32;               // 15
  Next64Operation next64;               // 16
  DoubleOperation uniform;              // 17: the method's default uniform
  DoubleOperation preferredUniform;     // 18: replaces `uniform` in the stream when present
  DoubleOperation fastUniform;          // 19: without rejection
  DoubleOperation reserved20;           // 20: always null
  DoubleOperation open32Redraw;         // 21: (0,1), zero redrawn (at most 99 draws)
  DoubleOperation midpoint32;           // 22: (0,1)
  DoubleOperation upperClosed32;        // 23: (0,1]
  DoubleOperation lowerClosed32;        // 24: [0,1)
  DoubleOperation closed32;             // 25: [0,1]
  DoubleOperation open53Redraw;         // 26: (0,1), redrawn (at most 99 draws)
  DoubleOperation odd53;                // 27: (0,1)
  DoubleOperation upperClosed53;        // 28: (0,1]
  DoubleOperation lowerClosed53;        // 29: [0,1)
  DoubleOperation closed53;             // 30: [0,1]
  DoubleOperation open64Redraw;         // 31: (0,1), redrawn (bounded, see conversions.h)
  DoubleOperation open64;               // 32: (0,1)
  DoubleOperation upperClosed64;        // 33: (0,1]
  DoubleOperation lowerClosed64;        // 34: [0,1)
  DoubleOperation closed64;             // 35: [0,1]
  DoubleOperation fullPrecision;        // 36: (0,1), random bits down to 2^-1074
};
inline constexpr int kOperationSlots = 36;
static_assert(sizeof(MethodOperations) == kOperationSlots * sizeof(void*));
static_assert(offsetof(MethodOperations, next32) == 14 * 8);
static_assert(offsetof(MethodOperations, uniform) == 16 * 8);
static_assert(offsetof(MethodOperations, reserved20) == 19 * 8);
static_assert(offsetof(MethodOperations, open64Redraw) == 30 * 8);
static_assert(offsetof(MethodOperations, fullPrecision) == 35 * 8);

// Slot n (1-based) of an operation table, as an untyped pointer; for listings and tests only.
inline void* const* operationSlots(const MethodOperations& ops) {
  return reinterpret_cast<void* const*>(&ops);
}

inline constexpr uint32_t kNameCapacity = 16;
inline constexpr uint32_t kDescriptionCapacity = 64;

// Flag word.
inline constexpr uint32_t kFlagHasDescription = 0x0001;  // reports name the method by description
inline constexpr uint32_t kFlagSeed32 = 0x0008;           // `seed32` is applied
inline constexpr uint32_t kFlagSeed64 = 0x0010;           // `seed64` is applied
inline constexpr uint32_t kFlagStreams32 = 0x0020;        // `key32`
inline constexpr uint32_t kFlagStreams64 = 0x0040;        // `key64`
inline constexpr uint32_t kFlagCounter32 = 0x0080;
inline constexpr uint32_t kFlagCounter64 = 0x0100;
inline constexpr uint32_t kFlagAdvance32 = 0x0200;
inline constexpr uint32_t kFlagAdvance64 = 0x0400;
inline constexpr uint32_t kFlagConversions32 = 0x0800;   // slots 21-25
inline constexpr uint32_t kFlagConversions64 = 0x1000;   // slots 26-36
inline constexpr uint32_t kFlagRecorded2 = 0x0002;       // recorded per method, not read
inline constexpr uint32_t kFlagRecorded4 = 0x0004;       // recorded per method, not read
inline constexpr uint32_t kFlagRecorded2000 = 0x2000;    // recorded per method, not read
inline constexpr uint32_t kFlagAcceptsSeed = kFlagSeed32 | kFlagSeed64;
inline constexpr uint32_t kFlagHasStreams = kFlagStreams32 | kFlagStreams64;
inline constexpr uint32_t kFlagHasCounters = kFlagCounter32 | kFlagCounter64;

// Fields in their fixed order; cleared to zero before every install.
struct MethodDescriptor {
  uint32_t nameCapacity;                       // always 16
  uint32_t descriptionCapacity;                // always 64
  char name[kNameCapacity];                    // 8-bit, at most 15 characters and a zero
  char description[kDescriptionCapacity];     // 8-bit, at most 63 characters and a zero
  char16_t wideName[kNameCapacity];            // UTF-16; also the selection's input buffer
  uint64_t seedStateBytes;                     // bytes of state a seed determines (0: not recorded)
  uint32_t seedStateBits;                      // 8 * seedStateBytes
  uint32_t wordBits;                           // 32 or 64 (31 RANUNI, 0 RDRAND); >32 means 64-bit
  uint32_t flags;                              // kFlag*
  uint64_t maxSeed;
  uint64_t maxStream;                          // 0: no streams
  MethodOperations ops;                        // the 36 slots
};
static_assert(offsetof(MethodDescriptor, nameCapacity) == 0);
static_assert(offsetof(MethodDescriptor, descriptionCapacity) == 4);
static_assert(offsetof(MethodDescriptor, name) == 8);
static_assert(offsetof(MethodDescriptor, description) == 24);
static_assert(offsetof(MethodDescriptor, wideName) == 88);
static_assert(offsetof(MethodDescriptor, seedStateBytes) == 120);
static_assert(offsetof(MethodDescriptor, seedStateBits) == 128);
static_assert(offsetof(MethodDescriptor, wordBits) == 132);
static_assert(offsetof(MethodDescriptor, flags) == 136);
static_assert(offsetof(MethodDescriptor, maxSeed) == 144);
static_assert(offsetof(MethodDescriptor, maxStream) == 152);
static_assert(offsetof(MethodDescriptor, ops) == 160);
static_assert(sizeof(MethodDescriptor) == 160 + kOperationSlots * 8);

// Every method has one install routine of this type (see method_list.h).
using InstallRoutine = void (*)(MethodDescriptor* descriptor);

}  // namespace rng
