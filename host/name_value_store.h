// The host's name-value store as the runtime table serves it: UTF-16 names compared without
// regard to case, values of type 2 (double), 3 (signed 64-bit) or 4 (UTF-16 text).
//
// Reading: a missing name gives 0x803FC26A; a value of another type 0x803FC009; a numeric read
// needs at least 8 bytes (else 0x803FC007). A text read copies whole characters, at most *size
// bytes, does not terminate, and sets *size to the bytes copied.
// Writing through the runtime table keeps the type of an existing value: a set of another type
// gives 0x803FC264 and changes nothing. The host's own API replaces values of any type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "frame/host_abi.h"

namespace refhost::detail {

class NameValueStore {
 public:
  using Value = std::variant<double, int64_t, std::u16string>;

  StatusCode get(std::u16string_view name, int32_t type, void* buffer, int64_t* size) const;
  StatusCode set(std::u16string_view name, int32_t type, const void* value, int64_t size);
  bool defined(std::u16string_view name) const;

  void replace(std::u16string_view name, Value value);
  void remove(std::u16string_view name);
  std::optional<Value> find(std::u16string_view name) const;

 private:
  std::unordered_map<std::u16string, Value> values_;  // key: upper-cased name
};

// The name given to the runtime table: `length` characters, or up to the terminating zero when
// length ≤ 0. Null gives an empty name.
std::u16string_view runtimeName(const char16_t* name, int32_t length);

}  // namespace refhost::detail
