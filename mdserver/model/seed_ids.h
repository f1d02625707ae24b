// The identifier map of a seed import: every object identifier the repository holds or the
// file names, to the key of its row, in 16-byte slots at most 70% full (23 to 46 bytes per
// identifier), so that a million objects with a property each take 64 MB whatever else they
// hold.
//
// An identifier "REPOID08.ABCDEFGH" packs into 64 bits: the part after the dot (8 letters or
// digits, fewer than 2^48 values) and a number for the part before it (at most 65535 distinct
// ones in one import).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mdserver::seed_json {

class IdentifierMap {
 public:
  // The packed form of id, or none when id has not the shape of an object identifier (or the
  // number of distinct prefixes is exhausted).
  std::optional<uint64_t> pack(std::string_view id);
  // Packs without registering a new prefix: none for an identifier whose prefix was never seen.
  std::optional<uint64_t> packKnown(std::string_view id) const;

  // The key stored for a packed identifier, or 0. (The importer stores an object the repository
  // held before the import as its key negated.)
  int64_t find(uint64_t packed) const {
    if (slots_.empty()) return 0;
    for (size_t at = hash(packed) & mask_;; at = (at + 1) & mask_) {
      if (slots_[at].packed == packed) return slots_[at].key;
      if (slots_[at].packed == 0) return 0;
    }
  }
  // Stores key unless the identifier is there already; true when stored.
  bool insert(uint64_t packed, int64_t key);
  size_t size() const { return count_; }

 private:
  struct Slot {
    uint64_t packed = 0;  // 0: empty (a packed identifier never is)
    int64_t key = 0;
  };
  static uint64_t hash(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
  }
  static std::optional<uint64_t> packPart(std::string_view part);
  void grow();

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
  std::unordered_map<uint64_t, uint32_t> prefixes_;  // packed prefix -> its number
};

}  // namespace mdserver::seed_json
