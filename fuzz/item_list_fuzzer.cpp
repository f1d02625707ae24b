// The item lists of the identity filter: any bytes give items, and the items follow the rules
// of secfuncs/item_list.h (count, length, blanks; plain splitting when no quote is involved).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "secfuncs/item_list.h"

namespace {

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// Commas outside double quotes; inside, a doubled quote stands for one and does not close.
size_t separators(std::string_view text) {
  size_t commas = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (quoted) {
      if (text[i] == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          ++i;
        } else {
          quoted = false;
        }
      }
    } else if (text[i] == '"') {
      quoted = true;
    } else if (text[i] == ',') {
      ++commas;
    }
  }
  return commas;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> items =
      secfuncs::parseItemList(text.data(), static_cast<int32_t>(text.size()));

  FUZZ_CHECK(items.size() == separators(text) + 1,
             "items: " + std::to_string(items.size()) + ", separators outside quotes: " +
                 std::to_string(separators(text)));
  for (const std::string& item : items) {
    FUZZ_CHECK(item.size() <= secfuncs::kMaximumItemLength, "item of " + std::to_string(item.size()));
    FUZZ_CHECK(item.empty() || (item.front() != ' ' && item.back() != ' '), "untrimmed '" + item + "'");
  }

  if (text.find('"') == std::string_view::npos) {
    // Without quotes an item is the text between commas, cut to the maximum after its leading
    // blanks, then trimmed.
    size_t start = 0;
    for (const std::string& item : items) {
      size_t end = text.find(',', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view piece = text.substr(start, end - start);
      while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
      const std::string_view expected =
          trimBlanks(piece.substr(0, secfuncs::kMaximumItemLength));
      FUZZ_CHECK(item == expected, "item '" + item + "', expected '" + std::string(expected) + "'");
      start = end + 1;
    }
  }

  // No text at all is one empty item, whatever the pointer.
  const std::vector<std::string> none = secfuncs::parseItemList(nullptr, static_cast<int32_t>(size));
  FUZZ_CHECK(none.size() == 1 && none[0].empty(), "a null text gave " + std::to_string(none.size()));
  return 0;
}
