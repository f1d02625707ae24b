// Method selection: accepted names and aliases, trimming, the 16-character rule, the setting, and
// the fallbacks to MTHYBRID.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_runtime.h"
#include "random/stream.h"

namespace {

using rng_test::FakeRuntime;

struct Selected {
  StatusCode status;
  std::string name;
};

Selected selectNarrow(const char* name, int64_t length = -1) {
  rng::MethodDescriptor d{};
  StatusCode status = rng::selectMethod(name, length, &d, 0);
  return {status, d.name};
}

Selected selectWide(const char16_t* name) {
  rng::MethodDescriptor d{};
  StatusCode status = rng::selectMethod(name, -1, &d, 1);
  return {status, d.name};
}

TEST(Selection, EveryAcceptedNameInstallsItsMethod) {
  FakeRuntime runtime;
  const std::pair<const char*, const char*> cases[] = {
      {"XOR64", "XOR64"},         {"XOR128", "XOR128"},     {"XOR1024", "XOR1024"},
      {"XOR4096", "XOR4096"},     {"XORGENS", "XORGENS"},   {"TF", "FRY4X64"},
      {"TF2", "FRY2X64"},         {"TF4", "FRY4X64"},       {"THREEFRY", "FRY4X64"},
      {"THREEFRY2X32", "FRY2X32"}, {"THREEFRY2X64", "FRY2X64"}, {"THREEFRY4X64", "FRY4X64"},
      {"TRNG", "RDRAND"},         {"SUBKEY32", "SUBKEY32"}, {"SUBKEY64", "SUBKEY64"},
      {"RANUNI", "RANUNI"},       {"RDRAND", "RDRAND"},     {"PCG", "PCG64I"},
      {"PCG32I", "PCG32I"},       {"PCG64I", "PCG64I"},     {"MH3", "MH3"},
      {"MT", "MT64"},             {"MT1998", "MT1998"},     {"MT2002", "MT32"},
      {"MT32", "MT32"},           {"MT64", "MT64"},         {"MTHYBRID", "MTHYBRID"},
      {"HARD", "RDRAND"},         {"HARDWARE", "RDRAND"},   {"FRY2X32", "FRY2X32"},
      {"FRY2X64", "FRY2X64"},     {"FRY4X64", "FRY4X64"},
  };
  for (const auto& [name, method] : cases) {
    Selected s = selectNarrow(name);
    EXPECT_EQ(s.status, 0u) << name;
    EXPECT_EQ(s.name, method) << name;
  }
}

TEST(Selection, CaseInsensitiveTrimmedAndWide) {
  FakeRuntime runtime;
  EXPECT_EQ(selectNarrow("mt64").name, "MT64");
  EXPECT_EQ(selectNarrow("Mt64").name, "MT64");
  EXPECT_EQ(selectNarrow("  pcg32i   ").name, "PCG32I");
  EXPECT_EQ(selectWide(u" Tf ").name, "FRY4X64");
  // Only the given length counts.
  EXPECT_EQ(selectNarrow("MT64XYZ", 4).name, "MT64");
  // Prefixes and extensions of accepted names are not accepted.
  Selected prefix = selectNarrow("XOR");
  EXPECT_EQ(prefix.status, rng::kStatusUnknownMethod);
  EXPECT_EQ(prefix.name, "MTHYBRID");
  EXPECT_EQ(selectNarrow("MT64X").status, rng::kStatusUnknownMethod);
}

TEST(Selection, SixteenCharactersAreTooLongEvenWhenFifteenSpellAMethod) {
  FakeRuntime runtime;
  // 15 characters after trimming is still compared (and matches nothing here).
  EXPECT_EQ(selectNarrow("THREEFRY2X32   ").name, "FRY2X32");
  Selected fifteen = selectNarrow("THREEFRY2X32ABC");
  EXPECT_EQ(fifteen.status, rng::kStatusUnknownMethod);
  Selected sixteen = selectNarrow("   THREEFRY2X32    X");
  EXPECT_EQ(sixteen.status, rng::kStatusUnknownMethod);
  EXPECT_EQ(sixteen.name, "MTHYBRID");
  Selected wide = selectWide(u"MT64MT64MT64MT64");
  EXPECT_EQ(wide.status, rng::kStatusUnknownMethod);
  EXPECT_EQ(wide.name, "MTHYBRID");
}

TEST(Selection, EmptyNameReadsTheSettingWithoutTrimming) {
  FakeRuntime runtime;
  Selected unset = selectNarrow(nullptr);
  EXPECT_EQ(unset.status, 0u);
  EXPECT_EQ(unset.name, "MTHYBRID");
  runtime.store[u"OSENV.RUX_RNG_METHOD"] = std::u16string(u"");
  EXPECT_EQ(selectNarrow("   ").status, 0u);
  runtime.store[u"OSENV.RUX_RNG_METHOD"] = std::u16string(u"xor128");
  EXPECT_EQ(selectNarrow("").name, "XOR128");
  runtime.store[u"OSENV.RUX_RNG_METHOD"] = std::u16string(u" MT64");
  Selected untrimmed = selectNarrow("");
  EXPECT_EQ(untrimmed.status, rng::kStatusUnknownMethod);
  EXPECT_EQ(untrimmed.name, "MTHYBRID");
  // An explicit name wins over the setting.
  EXPECT_EQ(selectNarrow("MT1998").name, "MT1998");
}

TEST(Selection, StatelessMethodsNeedRdrand) {
  FakeRuntime runtime;
  runtime.setRdrand(false);
  for (const char* name : {"RDRAND", "TRNG", "HARD", "HARDWARE", "RANUNI", "XORGENS"}) {
    Selected s = selectNarrow(name);
    EXPECT_EQ(s.status, rng::kStatusNoRdrand) << name;
    EXPECT_EQ(s.name, "MTHYBRID") << name;
  }
  for (const char* name : {"MT64", "PCG32I", "XOR4096", "FRY2X32", "SUBKEY64", "MH3"}) {
    Selected s = selectNarrow(name);
    EXPECT_EQ(s.status, 0u) << name;
    EXPECT_EQ(s.name, name);
  }
  runtime.setRdrand(true);
  for (const char* name : {"RDRAND", "RANUNI", "XORGENS"}) EXPECT_EQ(selectNarrow(name).status, 0u);
  EXPECT_EQ(selectNarrow("HARDWARE").name, "RDRAND");
}

TEST(Selection, InstallClearsAndFillsTheDescriptor) {
  FakeRuntime runtime;
  rng::MethodDescriptor d;
  std::memset(&d, 0xAB, sizeof d);
  ASSERT_EQ(rng::selectMethod("MT1998", -1, &d, 0), 0u);
  EXPECT_EQ(d.nameCapacity, 16u);
  EXPECT_EQ(d.descriptionCapacity, 64u);
  EXPECT_STREQ(d.description, "1998 32-bit Mersenne Twister");
  EXPECT_EQ(std::u16string(d.wideName), u"MT1998");
  EXPECT_EQ(d.flags, 0x28AFu);
  EXPECT_EQ(d.seedStateBytes, 2496u);
  EXPECT_EQ(d.seedStateBits, 2496u * 8);
  EXPECT_EQ(d.ops.reserved20, nullptr);
  EXPECT_EQ(d.ops.open53Redraw, nullptr);
  ASSERT_EQ(rng::selectMethod("MT64", -1, &d, 0), 0u);
  EXPECT_EQ(d.flags, 0x1157u);
  EXPECT_EQ(d.ops.preferredUniform, nullptr);
  EXPECT_EQ(d.ops.open32Redraw, nullptr);
  EXPECT_NE(d.ops.fullPrecision, nullptr);
}

}  // namespace
