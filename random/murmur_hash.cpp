#include "random/murmur_hash.h"

#include <bit>
#include <cstring>

#include "random/conversions.h"

namespace rng {

uint32_t murmur3X86_32(const void* bytes, int length, uint32_t seed) {
  constexpr uint32_t c1 = 0xCC9E2D51u;
  constexpr uint32_t c2 = 0x1B873593u;
  const auto* data = static_cast<const uint8_t*>(bytes);
  const int blocks = length / 4;
  uint32_t h = seed;
  for (int i = 0; i < blocks; ++i) {
    uint32_t k;
    std::memcpy(&k, data + i * 4, 4);
    k *= c1;
    k = std::rotl(k, 15);
    k *= c2;
    h ^= k;
    h = std::rotl(h, 13);
    h = h * 5 + 0xE6546B64u;
  }
  const uint8_t* tail = data + blocks * 4;
  uint32_t k = 0;
  switch (length & 3) {
    case 3:
      k ^= static_cast<uint32_t>(tail[2]) << 16;
      [[fallthrough]];
    case 2:
      k ^= static_cast<uint32_t>(tail[1]) << 8;
      [[fallthrough]];
    case 1:
      k ^= tail[0];
      k *= c1;
      k = std::rotl(k, 15);
      k *= c2;
      h ^= k;
      break;
    default:
      break;
  }
  h ^= static_cast<uint32_t>(length);
  return fmix32(h);
}

uint64_t wordHash64(const uint64_t* words, int count, uint64_t seed) {
  constexpr uint64_t c1 = 0x87C37B91114253D5ull;
  constexpr uint64_t c2 = 0x4CF5AD432745937Full;
  uint64_t h1 = seed;
  uint64_t h2 = seed;
  for (int i = 0; i < count; i += 2) {
    uint64_t k1 = words[i];
    uint64_t k2 = i + 1 < count ? words[i + 1] : fmix64(seed);
    k1 *= c1;
    k1 = std::rotl(k1, 31);
    k1 *= c2;
    h1 ^= k1;
    h1 = std::rotl(h1, 27);
    h1 += h2;
    h1 = h1 * 5 + 0x52DCE729;
    k2 *= c2;
    k2 = std::rotl(k2, 33);
    k2 *= c1;
    h2 ^= k2;
    h2 = std::rotl(h2, 31);
    h2 += h1;
    h2 = h2 * 5 + 0x38495AB5;
  }
  const uint64_t length = static_cast<uint64_t>((count + 1) / 2 * 2) * 8;
  h1 ^= length;
  h2 ^= length;
  h1 += h2;
  h2 += h1;
  h1 = fmix64(h1);
  h2 = fmix64(h2);
  h1 += h2;
  h2 += h1;
  return h1 ^ h2;
}

}  // namespace rng
