// The lexical side of object URIs: a cursor over the text that reads names, keywords, quoted
// literals and single characters, skipping blanks, and refuses with a ParseFailure that names
// what was expected at which offset. The compiler (uri_compiler.h) reads through it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mdserver::uri {

// ASCII letters and digits, as the C locale the programs run in has them, without a library
// call per character.
inline bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool isNameStart(char c) { return isAsciiLetter(c) || c == '_'; }
inline bool isNameChar(char c) {
  return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

// Thrown at the first fault: the 0-based offset and what was expected there.
struct ParseFailure {
  size_t offset;
  std::string expected;
};

class UriScanner {
 public:
  explicit UriScanner(std::string_view text) : text_(text) {}

  // A quoted literal (single or double quotes, the quote doubled inside), blanks before it
  // skipped.
  std::string literal();
  // A name at the cursor; what names it in the refusal.
  std::string name(const char* what);
  // The word, without regard to case, when no name character follows it; blanks before it
  // skipped. The cursor moves only when it matches.
  bool keyword(std::string_view word);
  // The character c after any blanks; what names it in the refusal.
  void expect(char c, const char* what);

  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  void skipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }

 protected:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace mdserver::uri
