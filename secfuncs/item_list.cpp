// Item list parsing; rules in item_list.h.
#include "secfuncs/item_list.h"

namespace secfuncs {

std::vector<std::string> parseItemList(const char* text, int32_t length) {
  const size_t m = (text == nullptr || length <= 0) ? 0 : static_cast<size_t>(length);
  std::vector<std::string> items;
  size_t i = 0;
  for (;;) {
    std::string item;
    const auto collect = [&item](char c) {
      if (item.size() < kMaximumItemLength) item.push_back(c);
    };
    while (i < m && text[i] == ' ') ++i;
    bool quoted = false;
    while (i < m) {
      const char c = text[i];
      if (quoted) {
        if (c == '"') {
          if (i + 1 < m && text[i + 1] == '"') {
            collect('"');
            i += 2;
          } else {
            quoted = false;
            ++i;
          }
          continue;
        }
        collect(c);
        ++i;
        continue;
      }
      if (c == '"') {
        quoted = true;
        ++i;
        continue;
      }
      if (c == ',') break;
      collect(c);
      ++i;
    }
    const size_t first = item.find_first_not_of(' ');
    item = first == std::string::npos ? std::string()
                                      : item.substr(first, item.find_last_not_of(' ') - first + 1);
    items.push_back(std::move(item));
    if (i >= m) break;
    ++i;  // the comma
  }
  return items;
}

}  // namespace secfuncs
