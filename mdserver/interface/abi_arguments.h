// Small readers of the interface's ABI arguments, shared by every file of served operations: a
// text and its length as a view, blanks trimmed, an object's identifier and owning interface,
// and an operation as the untyped entry an operation table holds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "mdaccess/md_abi.h"
#include "mdserver/interface/client_interface.h"

namespace mdserver::abi_arguments {

// A null text or a length below one is the empty text.
inline std::string_view view(const char* text, int32_t length) {
  if (!text || length <= 0) return {};
  return std::string_view(text, static_cast<size_t>(length));
}

inline std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

inline std::string_view identifierOf(const MetadataObject* object) {
  int32_t length = std::clamp(object->identifierLength, 0, kIdentifierCapacity);
  return std::string_view(object->identifier, static_cast<size_t>(length));
}

inline ClientInterface* ownerOf(const MetadataObject* object) {
  return object ? ClientInterface::fromAbi(object->owner) : nullptr;
}

template <typename Fn>
void* entry(Fn fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace mdserver::abi_arguments
