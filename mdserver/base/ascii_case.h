// Names in the repository compare as SQLite's NOCASE does: ASCII letters without regard to case,
// every other byte as it is. Code outside SQL that decides "same name" must agree with it.
#pragma once

#include <string_view>

namespace mdserver {

// ASCII only, whatever the process's locale: what NOCASE folds, and no library call.
inline char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace mdserver
