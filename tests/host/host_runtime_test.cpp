// The runtime table: query service, name-value store, transcoder and message object.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/reference_host.h"
#include "tests/host/quiet_config.h"

namespace {

using refhost::ReferenceHost;

using refhost::testing::quietConfig;

TEST(HostRuntimeQuery, ClockSystemRecordAndProcessor) {
  ReferenceHost host(quietConfig());
  RuntimeTable* r = host.runtime();
  ASSERT_EQ(r->structureSize, sizeof(RuntimeTable));
  double clock1[2], clock2[2];
  ASSERT_EQ(r->query(16, clock1, kQueryClock), kStatusOk);
  int reads = 0;
  do {
    ASSERT_EQ(r->query(16, clock2, kQueryClock), kStatusOk);
  } while (clock2[0] - clock2[1] == clock1[0] - clock1[1] && ++reads < 10000000);
  EXPECT_GT(clock2[0] - clock2[1], clock1[0] - clock1[1]);

  uint64_t system[25] = {};
  ASSERT_EQ(r->query(8, system, kQuerySystem), kStatusOk);
  EXPECT_NE(system[5], 0u);
  EXPECT_NE(system[0], 0u);

  const ProcessorRecord* processor = nullptr;
  ASSERT_EQ(r->query(16, &processor, kQueryProcessor), kStatusOk);
  ASSERT_NE(processor, nullptr);
  host.setRdrandAvailable(false);
  EXPECT_EQ(processor->leaf1Ecx & kCpuidEcxRdrand, 0u);
#if defined(__x86_64__)
  EXPECT_EQ(processor->status, 0);
  EXPECT_NE(processor->leaf1Eax, 0u);  // real CPUID leaf 1 values
#endif
  EXPECT_EQ(r->query(16, clock1, 0x12345678u), refhost::kHostStatusUnknownSelector);
  EXPECT_EQ(r->query(16, nullptr, kQueryClock), refhost::kHostStatusMissingArgument);
}

TEST(HostNameValueStore, TypesStatusesAndSizes) {
  ReferenceHost host(quietConfig());
  RuntimeTable* r = host.runtime();
  const char16_t* method = u"OSENV.RUX_RNG_METHOD";
  char16_t text[8];
  int64_t size = sizeof text;
  EXPECT_EQ(r->nameValueGet(method, 0, kNameValueText, text, &size), kNameValueNoValue);
  EXPECT_EQ(r->nameValueDefined(method, 0), 0);

  host.setNameValueText(u"osenv.rux_rng_method", u"MT64 and more");
  EXPECT_EQ(r->nameValueDefined(method, 0), 1);  // names ignore case
  size = 8;  // bytes: room for four characters
  ASSERT_EQ(r->nameValueGet(method, 0, kNameValueText, text, &size), kStatusOk);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(std::u16string(text, 4), u"MT64");
  size = 7;  // odd sizes copy whole characters only
  ASSERT_EQ(r->nameValueGet(method, 20, kNameValueText, text, &size), kStatusOk);
  EXPECT_EQ(size, 6);
  double d = 0;
  size = 8;
  EXPECT_EQ(r->nameValueGet(method, 0, kNameValueDouble, &d, &size), kNameValueWrongType);

  // A name given with a length need not be terminated.
  const char16_t seedName[] = u"tkbug.RNGSEEDxyz";
  double seed = 42.5;
  ASSERT_EQ(r->nameValueSet(seedName, 13, 1, kNameValueDouble, &seed, 8, 0, 0), kStatusOk);
  size = 8;
  ASSERT_EQ(r->nameValueGet(u"TKBUG.RNGSEED", 0, kNameValueDouble, &d, &size), kStatusOk);
  EXPECT_EQ(d, 42.5);
  int64_t i = 0;
  size = 4;
  EXPECT_EQ(r->nameValueGet(u"tkbug.RNGSEED", 0, kNameValueDouble, &i, &size),
            refhost::kHostStatusBufferTooSmall);

  // A set of another type keeps the stored value; a text limit stays a text.
  host.setNameValueText(u"OSENV.RUX_RNG_NOTE_LIMIT", u"3");
  int64_t two = 2;
  EXPECT_EQ(r->nameValueSet(u"OSENV.RUX_RNG_NOTE_LIMIT", 0, 1, kNameValueInteger, &two, 8, 0, 0),
            kNameValueWrongTypeAlt);
  const char16_t twoText[] = u"2";
  ASSERT_EQ(r->nameValueSet(u"OSENV.RUX_RNG_NOTE_LIMIT", 0, 1, kNameValueText, twoText, 4, 0, 0),
            kStatusOk);
  auto stored = host.nameValue(u"OSENV.RUX_RNG_NOTE_LIMIT");
  ASSERT_TRUE(stored);
  EXPECT_EQ(std::get<std::u16string>(stored->value), u"2");  // the counted zero is dropped
  host.setNameValueInteger(u"OSENV.RUX_RNG_NOTE_LIMIT", 7);  // the host's own API replaces
  size = 8;
  ASSERT_EQ(r->nameValueGet(u"OSENV.RUX_RNG_NOTE_LIMIT", 0, kNameValueInteger, &i, &size), kStatusOk);
  EXPECT_EQ(i, 7);
  host.removeNameValue(u"OSENV.RUX_RNG_NOTE_LIMIT");
  EXPECT_EQ(r->nameValueDefined(u"OSENV.RUX_RNG_NOTE_LIMIT", 0), 0);
}

TEST(HostRuntimeText, TranscoderAndUpperCase) {
  ReferenceHost host(quietConfig());
  RuntimeTable* r = host.runtime();
  char16_t out[16];
  int64_t n = -1;
  ASSERT_EQ(r->transcode("mt\xC3\xA9", -1, out, 16, &n), kStatusOk);
  EXPECT_EQ(std::u16string(out, static_cast<size_t>(n)), u"mt\u00E9");
  EXPECT_EQ(r->transcode("abcdef", 6, out, 4, &n), refhost::kHostStatusBufferTooSmall);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(r->upperCase16(u'\u00E9'), u'\u00C9');
  EXPECT_EQ(r->upperCase16(u'\u0436'), u'\u0416');
  EXPECT_EQ(r->currentTaskRecord(), host.task());
  EXPECT_EQ(host.task()->session, host.topSession());
}

TEST(HostMessageObject, FormatsCataloguesAndLevels) {
  ReferenceHost host(quietConfig());
  MessageObject* m = host.runtime()->messageObject;
  ASSERT_NE(m, nullptr);
  m->ops->formatted(m, kLevelError, u"%s failed for %.*S in %hs", u"tkNameValueGet", 5,
                    u"OSENV.X", "tknrtget");
  m->ops->formatted(m, kLevelInfo, u"%hs(%.*S)=%lli|%8x|%16llx|%20g", "tknrlget", 3, u"abcdef",
                    -666LL, 0xABCu, 0x1234ULL, 2.5);
  m->ops->catalogue(m, kLevelNote, 0x8C7FE8CAu, 24, u"OSENV.RUX_RNG_NOTE_LIMIT");
  m->ops->catalogue(m, kLevelError, 0x8C7FE8C8u, 3, u"3.5", 24, u"OSENV.RUX_RNG_NOTE_LIMIT",
                    -9007199254740992LL, 9007199254740992LL);
  m->ops->catalogue(m, kLevelWarning, 0x8C7FE817u, 5.0, u"MT64");
  m->ops->catalogue(m, kLevelNote, 0x8C7FE851u, "64-bit Mersenne Twister");
  m->ops->status(m, kLevelWarning, 0x8C7FE80Bu);
  m->ops->formatted(m, kLevelNone, u"not shown");
  auto lines = host.logTexts();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "ERROR: tkNameValueGet failed for OSENV in tknrtget");
  EXPECT_EQ(lines[1], "INFO: tknrlget(abc)=-666|     abc|            1234|                 2.5");
  EXPECT_EQ(lines[2].rfind("NOTE: ", 0), 0u);
  EXPECT_NE(lines[2].find("OSENV.RUX_RNG_NOTE_LIMIT"), std::string::npos);
  EXPECT_NE(lines[3].find("'3.5'"), std::string::npos);
  EXPECT_NE(lines[3].find("-9007199254740992 to 9007199254740992"), std::string::npos);
  EXPECT_EQ(lines[4].rfind("WARNING: ", 0), 0u);
  EXPECT_NE(lines[4].find("MT64"), std::string::npos);
  EXPECT_NE(lines[5].find("64-bit Mersenne Twister"), std::string::npos);
  EXPECT_NE(lines[6].find("0x8C7FE80B"), std::string::npos);
}

}  // namespace
