// The host's printf engine, shared by hostFormat, hostLogLine and the message object.
//
// Two conventions:
// - narrow formats (hostFormat, hostLogLine): %s is an 8-bit string; %ls and %S a UTF-16 string.
// - wide formats (the runtime table's message object, UTF-16): %s, %S and %ls are UTF-16 strings;
//   %hs is an 8-bit string; %c is a UTF-16 unit and %hc a byte.
// Both support flags "-+ #0", widths and precisions given as digits or "*", the length modifiers
// hh h l ll q j z t L, and the conversions d i u o x X c s S e E f F g G a A p %. A string
// precision bounds how much is read, so "%.*s" is safe on texts that are not NUL-terminated.
// %n is refused (its pointer is consumed, nothing is written). A null string prints "(null)".
// An unknown conversion is copied to the output as written. The result is UTF-8.
#pragma once

#include <cstdarg>
#include <string>

namespace refhost {

std::string formatNarrow(const char* format, va_list* arguments);
std::string formatWide(const char16_t* format, va_list* arguments);

}  // namespace refhost
