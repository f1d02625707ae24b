// The values of --set: text, double: and integer: forms, what is refused, and that a refusal
// neither stores anything nor repeats the value.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "host/reference_host.h"
#include "runner/setting_value.h"

namespace {

class SettingValue : public ::testing::Test {
 protected:
  refhost::ReferenceHost host_{[] {
    refhost::HostConfig config;
    config.logFile = nullptr;
    return config;
  }()};

  std::optional<refhost::NameValue> stored() const { return host_.nameValue(u"K"); }
};

TEST_F(SettingValue, EachFormIsStoredAsItsType) {
  EXPECT_EQ(runner::applySetting(host_, "K", "PCG"), "");
  ASSERT_TRUE(stored());
  EXPECT_EQ(std::get<std::u16string>(stored()->value), u"PCG");

  EXPECT_EQ(runner::applySetting(host_, "K", "double:12.5"), "");
  EXPECT_EQ(std::get<double>(stored()->value), 12.5);

  EXPECT_EQ(runner::applySetting(host_, "K", "integer:-9223372036854775808"), "");
  EXPECT_EQ(std::get<int64_t>(stored()->value), std::numeric_limits<int64_t>::min());
}

TEST_F(SettingValue, ATinyNumberADoubleHoldsIsAccepted) {
  // Below the smallest normal double, strtod reports a range error although the value is held.
  EXPECT_EQ(runner::applySetting(host_, "K", "double:1e-310"), "");
  ASSERT_TRUE(stored());
  EXPECT_DOUBLE_EQ(std::get<double>(stored()->value), 1e-310);
}

TEST_F(SettingValue, NumbersOutOfRangeOrMalformedAreRefusedWithoutTheValue) {
  const char* refused[] = {"double:1e999", "double:-1e999", "double:1e-400", "double:",
                           "double:12x", "integer:99999999999999999999999", "integer:1.5",
                           "integer:"};
  for (const char* value : refused) {
    SCOPED_TRACE(value);
    const std::string error = runner::applySetting(host_, "K", value);
    EXPECT_NE(error.find("--set K: "), std::string::npos) << error;
    EXPECT_EQ(error.find(value), std::string::npos) << error;
    EXPECT_FALSE(stored());
  }
}

}  // namespace
