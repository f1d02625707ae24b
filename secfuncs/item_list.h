// The item lists of METASEC_GETNAUTH's identity filter: "a, b", "\"a,b\"", "\"a\"\"b\"".
//
// Items are cut at commas outside double quotes (so n commas give n + 1 items, a blank text one
// empty item, a trailing comma a final empty item). Blanks before an item are skipped. A double
// quote opens a quoted section that ends at the next double quote not doubled; inside, commas
// and blanks are ordinary and a doubled quote stands for one; the section's own quotes are not
// part of the item, which goes on after it. At most kMaximumItemLength characters are kept per
// item; the rest of the item is dropped. Each item is then trimmed of leading and trailing blanks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace secfuncs {

inline constexpr size_t kMaximumItemLength = 256;

std::vector<std::string> parseItemList(const char* text, int32_t length);

}  // namespace secfuncs
