// The item-list parser of the identity filter, as a pure core.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "secfuncs/item_list.h"  // the parser is built into this test as well as into secfuncs.so

namespace {

using Items = std::vector<std::string>;

Items parse(const std::string& text) {
  return secfuncs::parseItemList(text.data(), static_cast<int32_t>(text.size()));
}

TEST(ItemList, CommasQuotesAndBlanks) {
  EXPECT_EQ(parse(""), Items{""});
  EXPECT_EQ(parse("a"), Items{"a"});
  EXPECT_EQ(parse("\"a,b\""), Items{"a,b"});
  EXPECT_EQ(parse("\"a\"\"b\""), Items{"a\"b"});
  EXPECT_EQ(parse("x , y ,"), (Items{"x", "y", ""}));
  EXPECT_EQ(parse(",,"), (Items{"", "", ""}));
  EXPECT_EQ(parse("  lead, \" in side \" tail"), (Items{"lead", "in side  tail"}));
  EXPECT_EQ(parse("a\"b,c\"d"), Items{"ab,cd"});
  EXPECT_EQ(parse("\"open, never closed"), Items{"open, never closed"});
}

TEST(ItemList, ItemsKeepTheirFirst256Characters) {
  const std::string long300(300, 'q');
  Items items = parse(long300 + ",z");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], std::string(256, 'q'));
  EXPECT_EQ(items[1], "z");
}

}  // namespace
