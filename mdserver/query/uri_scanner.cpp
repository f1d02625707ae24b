// Reading object URI texts; contract in uri_scanner.h.
#include "mdserver/query/uri_scanner.h"

#include "mdserver/base/ascii_case.h"

namespace mdserver::uri {

std::string UriScanner::literal() {
  skipBlanks();
  if (!at('\'') && !at('"')) throw ParseFailure{pos_, "a quoted literal"};
  char quote = text_[pos_];
  size_t open = pos_++;
  std::string value;
  for (;;) {
    if (pos_ >= text_.size()) {
      throw ParseFailure{open, std::string("a closing ") + quote + " for this literal"};
    }
    char c = text_[pos_++];
    if (c == quote) {
      if (at(quote)) {
        value += quote;
        ++pos_;
        continue;
      }
      return value;
    }
    value += c;
  }
}

std::string UriScanner::name(const char* what) {
  if (pos_ >= text_.size() || !isNameStart(text_[pos_])) throw ParseFailure{pos_, what};
  size_t start = pos_;
  while (pos_ < text_.size() && isNameChar(text_[pos_])) ++pos_;
  return std::string(text_.substr(start, pos_ - start));
}

bool UriScanner::keyword(std::string_view word) {
  skipBlanks();
  if (text_.size() - pos_ < word.size()) return false;
  if (!equalNoCase(text_.substr(pos_, word.size()), word)) return false;
  size_t after = pos_ + word.size();
  if (after < text_.size() && isNameChar(text_[after])) return false;
  pos_ = after;
  return true;
}

void UriScanner::expect(char c, const char* what) {
  skipBlanks();
  if (!at(c)) throw ParseFailure{pos_, what};
  ++pos_;
}

}  // namespace mdserver::uri
