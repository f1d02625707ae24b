#include "host/printf_format.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "host/text_tools.h"

namespace refhost {
namespace {

enum class Length { kNone, kHH, kH, kL, kLL, kJ, kZ, kT, kBigL };

struct Conversion {
  std::string flags;
  int width = -1;
  int precision = -1;
  bool leftAlign = false;
  Length length = Length::kNone;
  char conversion = 0;
};

void pad(std::string& out, const std::string& body, size_t characters, const Conversion& conversion) {
  size_t fill = conversion.width > 0 && static_cast<size_t>(conversion.width) > characters
                    ? static_cast<size_t>(conversion.width) - characters
                    : 0;
  if (!conversion.leftAlign) out.append(fill, ' ');
  out += body;
  if (conversion.leftAlign) out.append(fill, ' ');
}

void appendNarrowString(std::string& out, const char* text, const Conversion& conversion) {
  if (!text) text = "(null)";
  size_t n = 0;
  size_t limit = conversion.precision >= 0 ? static_cast<size_t>(conversion.precision) : SIZE_MAX;
  while (n < limit && text[n] != '\0') ++n;
  pad(out, std::string(text, n), n, conversion);
}

void appendWideString(std::string& out, const char16_t* text, const Conversion& conversion) {
  if (!text) {
    appendNarrowString(out, "(null)", conversion);
    return;
  }
  size_t n = 0;
  size_t limit = conversion.precision >= 0 ? static_cast<size_t>(conversion.precision) : SIZE_MAX;
  while (n < limit && text[n] != 0) ++n;
  pad(out, text::utf16ToUtf8(std::u16string_view(text, n)), n, conversion);
}

template <typename T>
std::string cFormat(const std::string& f, T value) {
  char buffer[256];
  int n = std::snprintf(buffer, sizeof buffer, f.c_str(), value);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), f.c_str(), value);
  big.resize(static_cast<size_t>(n));
  return big;
}

// Formats one numeric conversion through the C library with the width and precision resolved.
std::string numeric(const Conversion& conversion, va_list* arguments) {
  std::string f = "%" + conversion.flags;
  if (conversion.width >= 0) f += std::to_string(conversion.width);
  if (conversion.precision >= 0) f += "." + std::to_string(conversion.precision);
  char c = conversion.conversion;
  bool isSigned = c == 'd' || c == 'i';
  bool isFloat = c == 'e' || c == 'E' || c == 'f' || c == 'F' || c == 'g' || c == 'G' ||
                 c == 'a' || c == 'A';
  if (isFloat) {
    if (conversion.length == Length::kBigL) {
      long double v = va_arg(*arguments, long double);
      return cFormat(f + 'L' + c, v);
    }
    double v = va_arg(*arguments, double);
    return cFormat(f + c, v);
  }
  if (c == 'p') return cFormat(f + 'p', va_arg(*arguments, void*));
  if (isSigned) {
    long long v = 0;
    switch (conversion.length) {
      case Length::kHH: v = static_cast<signed char>(va_arg(*arguments, int)); break;
      case Length::kH: v = static_cast<short>(va_arg(*arguments, int)); break;
      case Length::kL: v = va_arg(*arguments, long); break;
      case Length::kLL: v = va_arg(*arguments, long long); break;
      case Length::kJ: v = va_arg(*arguments, intmax_t); break;
      case Length::kZ: v = va_arg(*arguments, ptrdiff_t); break;
      case Length::kT: v = va_arg(*arguments, ptrdiff_t); break;
      default: v = va_arg(*arguments, int); break;
    }
    return cFormat(f + "ll" + c, v);
  }
  unsigned long long v = 0;
  switch (conversion.length) {
    case Length::kHH: v = static_cast<unsigned char>(va_arg(*arguments, unsigned)); break;
    case Length::kH: v = static_cast<unsigned short>(va_arg(*arguments, unsigned)); break;
    case Length::kL: v = va_arg(*arguments, unsigned long); break;
    case Length::kLL: v = va_arg(*arguments, unsigned long long); break;
    case Length::kJ: v = va_arg(*arguments, uintmax_t); break;
    case Length::kZ: v = va_arg(*arguments, size_t); break;
    case Length::kT: v = va_arg(*arguments, size_t); break;
    default: v = va_arg(*arguments, unsigned); break;
  }
  return cFormat(f + "ll" + c, v);
}

template <typename CharT>
std::string format(const CharT* fmt, va_list* arguments, bool wide) {
  std::string out;
  if (!fmt) return out;
  auto ascii = [](CharT c) -> char { return c < 0x80 ? static_cast<char>(c) : '\x7F'; };
  const CharT* p = fmt;
  while (*p) {
    if (*p != '%') {
      // Copy a run of literal text.
      const CharT* start = p;
      while (*p && *p != '%') ++p;
      if constexpr (sizeof(CharT) == 1) {
        out.append(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
      } else {
        out += text::utf16ToUtf8(std::u16string_view(start, static_cast<size_t>(p - start)));
      }
      continue;
    }
    const CharT* specStart = p++;
    if (*p == '%') {
      out.push_back('%');
      ++p;
      continue;
    }
    Conversion conversion;
    while (*p && std::string_view("-+ #0").find(ascii(*p)) != std::string_view::npos) {
      if (*p == '-') conversion.leftAlign = true;
      conversion.flags.push_back(ascii(*p));
      ++p;
    }
    if (*p == '*') {
      int w = va_arg(*arguments, int);
      if (w < 0) {
        conversion.leftAlign = true;
        conversion.flags.push_back('-');
        w = -w;
      }
      conversion.width = w;
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') {
        conversion.width = (conversion.width < 0 ? 0 : conversion.width) * 10 + (ascii(*p) - '0');
        if (conversion.width > 4096) conversion.width = 4096;  // bounds the work of absurd widths
        ++p;
      }
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        int v = va_arg(*arguments, int);
        conversion.precision = v < 0 ? -1 : v;
        ++p;
      } else {
        conversion.precision = 0;
        while (*p >= '0' && *p <= '9') {
          conversion.precision = conversion.precision * 10 + (ascii(*p) - '0');
          if (conversion.precision > 1 << 20) conversion.precision = 1 << 20;
          ++p;
        }
      }
    }
    switch (ascii(*p)) {
      case 'h':
        ++p;
        conversion.length = Length::kH;
        if (*p == 'h') conversion.length = Length::kHH, ++p;
        break;
      case 'l':
        ++p;
        conversion.length = Length::kL;
        if (*p == 'l') conversion.length = Length::kLL, ++p;
        break;
      case 'q': conversion.length = Length::kLL, ++p; break;
      case 'j': conversion.length = Length::kJ, ++p; break;
      case 'z': conversion.length = Length::kZ, ++p; break;
      case 't': conversion.length = Length::kT, ++p; break;
      case 'L': conversion.length = Length::kBigL, ++p; break;
      default: break;
    }
    if (!*p) {
      // A format that ends inside a conversion: copy it as written.
      for (const CharT* q = specStart; q < p; ++q) out.push_back(ascii(*q));
      break;
    }
    char c = ascii(*p++);
    conversion.conversion = c;
    switch (c) {
      case 's':
      case 'S': {
        bool wideString = wide ? conversion.length != Length::kH : (c == 'S' || conversion.length == Length::kL);
        if (wideString) {
          appendWideString(out, va_arg(*arguments, const char16_t*), conversion);
        } else {
          appendNarrowString(out, va_arg(*arguments, const char*), conversion);
        }
        break;
      }
      case 'c':
      case 'C': {
        int v = va_arg(*arguments, int);
        std::string body;
        bool wideChar = wide ? conversion.length != Length::kH : (c == 'C' || conversion.length == Length::kL);
        if (wideChar) {
          text::appendUtf8(body, static_cast<char32_t>(static_cast<char16_t>(v)));
        } else {
          body.push_back(static_cast<char>(v));
        }
        pad(out, body, 1, conversion);
        break;
      }
      case 'n':
        (void)va_arg(*arguments, void*);
        break;
      case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'e': case 'E':
      case 'f': case 'F': case 'g': case 'G': case 'a': case 'A': case 'p':
        if (conversion.precision > 4096) conversion.precision = 4096;  // bounds numeric work
        out += numeric(conversion, arguments);
        break;
      default:
        for (const CharT* q = specStart; q < p; ++q) out.push_back(ascii(*q));
        break;
    }
  }
  return out;
}

}  // namespace

std::string formatNarrow(const char* format, va_list* arguments) {
  return refhost::format<char>(format, arguments, false);
}

std::string formatWide(const char16_t* format, va_list* arguments) {
  return refhost::format<char16_t>(format, arguments, true);
}

}  // namespace refhost
