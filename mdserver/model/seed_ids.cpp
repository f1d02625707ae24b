// The identifier map of a seed import; contract in seed_ids.h.
#include "mdserver/model/seed_ids.h"

namespace mdserver::seed_json {

namespace {

int digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 36;
  return -1;
}

constexpr size_t kPrefixes = 65535;

}  // namespace

std::optional<uint64_t> IdentifierMap::packPart(std::string_view part) {
  if (part.size() != 8) return std::nullopt;
  uint64_t value = 0;
  for (char c : part) {
    const int d = digit(c);
    if (d < 0) return std::nullopt;
    value = value * 62 + static_cast<uint64_t>(d);
  }
  return value;  // below 62^8 < 2^48
}

std::optional<uint64_t> IdentifierMap::pack(std::string_view id) {
  if (id.size() != 17 || id[8] != '.') return std::nullopt;
  auto prefix = packPart(id.substr(0, 8));
  auto rest = packPart(id.substr(9));
  if (!prefix || !rest) return std::nullopt;
  auto found = prefixes_.find(*prefix);
  if (found == prefixes_.end()) {
    if (prefixes_.size() >= kPrefixes) return std::nullopt;
    found = prefixes_.emplace(*prefix, static_cast<uint32_t>(prefixes_.size() + 1)).first;
  }
  return (uint64_t{found->second} << 48) | *rest;
}

std::optional<uint64_t> IdentifierMap::packKnown(std::string_view id) const {
  if (id.size() != 17 || id[8] != '.') return std::nullopt;
  auto prefix = packPart(id.substr(0, 8));
  auto rest = packPart(id.substr(9));
  if (!prefix || !rest) return std::nullopt;
  auto found = prefixes_.find(*prefix);
  if (found == prefixes_.end()) return std::nullopt;
  return (uint64_t{found->second} << 48) | *rest;
}

bool IdentifierMap::insert(uint64_t packed, int64_t key) {
  if (10 * (count_ + 1) > 7 * slots_.size()) grow();
  for (size_t at = hash(packed) & mask_;; at = (at + 1) & mask_) {
    if (slots_[at].packed == packed) return false;
    if (slots_[at].packed == 0) {
      slots_[at] = {packed, key};
      ++count_;
      return true;
    }
  }
}

void IdentifierMap::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : 2 * old.size(), Slot{});
  mask_ = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.packed == 0) continue;
    size_t at = hash(slot.packed) & mask_;
    while (slots_[at].packed != 0) at = (at + 1) & mask_;
    slots_[at] = slot;
  }
}

}  // namespace mdserver::seed_json
