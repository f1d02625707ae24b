#include "host/text_tools.h"

namespace refhost::text {

const std::array<uint8_t, 256>& upperCaseTable() {
  static const std::array<uint8_t, 256> table = [] {
    std::array<uint8_t, 256> t{};
    // Only ASCII letters change: bytes above 0x7F are parts of UTF-8 sequences and must stay.
    for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    return t;
  }();
  return table;
}

const std::array<uint8_t, 256>& characterClassTable() {
  static const std::array<uint8_t, 256> table = [] {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      uint8_t c = 0;
      if (i == ' ' || i == '\t' || i == '\n' || i == '\r' || i == '\v' || i == '\f') c |= 8;
      if ((i >= 'A' && i <= 'Z') || (i >= 'a' && i <= 'z')) c |= 1;
      if (i >= '0' && i <= '9') c |= 2;
      if (i >= 0x80) c |= 4;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

char32_t upperCodePoint(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c == 0xB5) return 0x39C;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs upper/lower as even/odd, except the block 0x139-0x148 and
    // 0x179-0x17E, which pair odd/even; 0x131 (dotless i) and 0x138 (kra) stand alone.
    if (c == 0x131) return 'I';
    if (c == 0x138 || c == 0x149) return c;
    bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (oddUpper) return (c % 2 == 0) ? c - 1 : c;
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

char16_t upperUnit(char16_t c) {
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  char32_t u = upperCodePoint(c);
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

char32_t decodeUtf8(std::string_view text, size_t* pos) {
  size_t i = *pos;
  auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  uint8_t b0 = byte(i);
  int extra = 0;
  char32_t c = b0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    extra = 1, c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    extra = 2, c = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    extra = 3, c = b0 & 0x07;
  }
  if (extra > 0 && i + extra >= text.size()) extra = 0;  // no room for the continuation
  if (extra > 0) {
    char32_t v = c;
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      uint8_t b = byte(i + k);
      if ((b & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      v = (v << 6) | (b & 0x3F);
    }
    // Reject overlong forms, surrogates and values above U+10FFFF.
    if (ok && !((extra == 2 && v < 0x800) || (extra == 3 && (v < 0x10000 || v > 0x10FFFF)) ||
                (v >= 0xD800 && v <= 0xDFFF))) {
      *pos = i + 1 + extra;
      return v;
    }
  }
  *pos = i + 1;
  return b0;  // ASCII, or an invalid byte read as Latin-1
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::u16string utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = decodeUtf8(text, &pos);
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    appendUtf8(out, c);
  }
  return out;
}

std::string normaliseUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) appendUtf8(out, decodeUtf8(text, &pos));
  return out;
}

namespace {
void appendThreeBytes(std::string& out, char32_t unit) {
  out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
  out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
  out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
}

// A three-byte sequence ED A0..BF xx: one half of a surrogate pair; 0 when there is none at i.
char32_t surrogateAt(std::string_view text, size_t i) {
  if (i + 2 >= text.size()) return 0;
  const auto b0 = static_cast<uint8_t>(text[i]);
  const auto b1 = static_cast<uint8_t>(text[i + 1]);
  const auto b2 = static_cast<uint8_t>(text[i + 2]);
  if (b0 != 0xED || b1 < 0xA0 || b1 > 0xBF || (b2 & 0xC0) != 0x80) return 0;
  return 0xD000 | (static_cast<char32_t>(b1 & 0x3F) << 6) | (b2 & 0x3F);
}
}  // namespace

std::string toModifiedUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  size_t pos = 0;
  while (pos < text.size()) {
    const char32_t c = decodeUtf8(text, &pos);
    if (c == 0) {
      out.push_back(static_cast<char>(0xC0));
      out.push_back(static_cast<char>(0x80));
    } else if (c < 0x10000) {
      appendUtf8(out, c);
    } else {
      const char32_t v = c - 0x10000;
      appendThreeBytes(out, 0xD800 | (v >> 10));
      appendThreeBytes(out, 0xDC00 | (v & 0x3FF));
    }
  }
  return out;
}

std::string fromModifiedUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const auto b0 = static_cast<uint8_t>(text[pos]);
    if (b0 == 0xC0 && pos + 1 < text.size() && static_cast<uint8_t>(text[pos + 1]) == 0x80) {
      out.push_back('\0');
      pos += 2;
      continue;
    }
    if (const char32_t high = surrogateAt(text, pos); high != 0) {
      const char32_t low = surrogateAt(text, pos + 3);
      if (high < 0xDC00 && low >= 0xDC00) {
        appendUtf8(out, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
        pos += 6;
      } else {
        appendUtf8(out, 0xFFFD);
        pos += 3;
      }
      continue;
    }
    appendUtf8(out, decodeUtf8(text, &pos));
  }
  return out;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (upperCodePoint(decodeUtf8(a, &i)) != upperCodePoint(decodeUtf8(b, &j))) return false;
  }
  return i == a.size() && j == b.size();
}

std::u16string foldKey(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = upperUnit(c);
  return out;
}

std::string asciiUpper(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(upperCaseTable()[static_cast<uint8_t>(c)]);
  return out;
}

}  // namespace refhost::text
