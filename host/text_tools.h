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

// Case-insensitive equality of two UTF-8 texts.
bool equalIgnoringCase(std::string_view a, std::string_view b);
std::u16string foldKey(std::u16string_view text);   // upper-cased copy, the name-value key
std::string asciiUpper(std::string_view text);

}  // namespace refhost::text
