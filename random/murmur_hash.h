// MurmurHash3 building blocks used to key Mersenne Twister states: the x86 32-bit hash of a short
// byte string and a 64-bit word hash built on the block loop of the x64 128-bit variant.
// Algorithm: Austin Appleby's MurmurHash3 (public domain), as published with SMHasher.
#pragma once

#include <cstdint>

namespace rng {

// MurmurHash3_x86_32 of `length` bytes.
uint32_t murmur3X86_32(const void* bytes, int length, uint32_t seed);

// 64-bit word hash: the x64_128 block loop over `count` words taken in pairs (an odd last word is
// paired with the 64-bit finaliser of the seed), length (count rounded up to even, times 8)
// mixed into both halves, the usual finalisation, and the two halves XORed.
uint64_t wordHash64(const uint64_t* words, int count, uint64_t seed);

}  // namespace rng
