// Names in the repository compare as SQLite's NOCASE does: ASCII letters without regard to case,
// every other byte as it is. Code outside SQL that decides "same name" must agree with it.
#pragma once

#include <cctype>
#include <string_view>

namespace mdserver {

inline bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace mdserver
