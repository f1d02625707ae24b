// Character tables and text conversions of the reference host: the 256-byte upper-case and
// character-class tables handed to packages, UTF-8/UTF-16 conversion, and the case folding
// behind hostCompareMixed, the name-value store and the runtime table's upperCase16.
//
// Case folding covers ASCII, Latin-1, Latin Extended-A, basic Greek and basic Cyrillic; other
// characters compare as they are. Invalid UTF-8 bytes decode as the Latin-1 character of the
// same value, so every byte sequence has a defined reading.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace refhost::text {

const std::array<uint8_t, 256>& upperCaseTable();
const std::array<uint8_t, 256>& characterClassTable();

char32_t upperCodePoint(char32_t c);
char16_t upperUnit(char16_t c);  // upper case of a UTF-16 unit (surrogates unchanged)

// Decodes one character at text[*pos] and advances *pos.
char32_t decodeUtf8(std::string_view text, size_t* pos);
void appendUtf8(std::string& out, char32_t c);
std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);
// Re-encodes bytes as valid UTF-8 (invalid bytes read as Latin-1).
std::string normaliseUtf8(std::string_view text);
// The Java platform's "modified UTF-8", which its string functions read and write: NUL as the
// two bytes C0 80 (so the text never holds a zero byte), and a character above U+FFFF as its
// UTF-16 surrogate pair, each half in three bytes. Standard UTF-8 with a four-byte character
// reaches a Java string changed and, at the first invalid byte, cut short. Input bytes that are
// no valid UTF-8 are read as Latin-1, as normaliseUtf8 does.
std::string toModifiedUtf8(std::string_view text);
// Back to standard UTF-8: C0 80 is NUL, a surrogate pair is its character; a lone surrogate
// (which standard UTF-8 cannot hold) becomes U+FFFD.
std::string fromModifiedUtf8(std::string_view text);

// Case-insensitive equality of two UTF-8 texts.
bool equalIgnoringCase(std::string_view a, std::string_view b);
std::u16string foldKey(std::u16string_view text);   // upper-cased copy, the name-value key
std::string asciiUpper(std::string_view text);

// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as two overlapping words.
template <typename Word>
inline void copyOverlapping(char* to, const char* from, size_t n) {
  Word head, tail;
  std::memcpy(&head, from, sizeof head);
  std::memcpy(&tail, from + n - sizeof tail, sizeof tail);
  std::memcpy(to, &head, sizeof head);
  std::memcpy(to + n - sizeof tail, &tail, sizeof tail);
}

// Copies n bytes without a library call for the short texts the services copy on every call
// (format literals, SYSRC).
inline void copyShort(char* to, const char* from, size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    copyOverlapping<uint64_t>(to, from, n);
  } else if (n >= 4) {
    copyOverlapping<uint32_t>(to, from, n);
  } else if (n >= 2) {
    copyOverlapping<uint16_t>(to, from, n);
  } else if (n == 1) {
    to[0] = from[0];
  }
}

// Byte equality without a library call for texts of up to 16 bytes (two overlapping words),
// which the names a package asks for on every call are.
inline bool sameBytes(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  if (n > 16) return std::memcmp(a.data(), b.data(), n) == 0;
  if (n >= 8) {
    uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a.data(), 8);
    std::memcpy(&a1, a.data() + n - 8, 8);
    std::memcpy(&b0, b.data(), 8);
    std::memcpy(&b1, b.data() + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace refhost::text
