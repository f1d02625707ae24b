// Small UTF-16 text helpers of the engine (names and values of the host's name-value store).
#pragma once

#include <cstdint>

namespace rng {

// Length of a zero-terminated UTF-16 text (0 for null).
inline int64_t length16(const char16_t* text) {
  if (text == nullptr) return 0;
  int64_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}
// A name length as the helpers take it: 0 or less means "up to the zero".
inline int32_t effectiveLength(const char16_t* name, int32_t length) {
  return length > 0 ? length : static_cast<int32_t>(length16(name));
}

// Upper case of one UTF-16 character: ASCII by table, other characters through the host's case
// service when the bound runtime table offers one, else unchanged.
char16_t upperCase16(char16_t c);

}  // namespace rng
