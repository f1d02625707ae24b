// Numbered host services reached through the typed wrappers, as a package reaches them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/host_services.h"
#include "host/reference_host.h"
#include "tests/host/quiet_config.h"

namespace {

using refhost::HostConfig;
using refhost::ReferenceHost;

using refhost::testing::quietConfig;

TEST(HostServiceTables, EveryServiceHasAnEntryAndCallsSetTheInUseByte) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  ASSERT_EQ(h->serviceGroupCount, kHostServiceGroups);
  const HostServiceId ids[] = {
      host_service::kRaiseError,     host_service::kMessageText,  host_service::kPutMessage,
      host_service::kFormat,         host_service::kGetOption,    host_service::kGetOptionText,
      host_service::kOptionUpdate,   host_service::kOptionSet,    host_service::kGetNamedItem,
      host_service::kSetNamedItem,   host_service::kReportStatus, host_service::kCreateCleanup,
      host_service::kArmCleanup,     host_service::kDisarmCleanup, host_service::kDestroyCleanup,
      host_service::kTaskSync,       host_service::kLoadComponent, host_service::kSetSessionSlot,
      host_service::kParseNumber,    host_service::kMacroScope,   host_service::kSetMacroText,
      host_service::kSetMacroNumber, host_service::kCompareMixed, host_service::kGetShortName,
      host_service::kGetMetadataInterface, host_service::kIssueMessage, host_service::kPassIdentity,
      host_service::kTranscode,      host_service::kLogLine,      host_service::kTextTest};
  for (HostServiceId id : ids) {
    ASSERT_NE(h->serviceTables[id.group], nullptr) << id.group;
    EXPECT_NE(h->serviceTables[id.group][id.slot], nullptr) << id.group << "/" << id.slot;
  }
  EXPECT_EQ(h->serviceTables[5], nullptr);  // unused groups stay null
  h->serviceInUse[49] = 0;
  hostSetMacroText(h, hostMacroScope(h, host.topSession()), "X", 1, "v", 1);
  EXPECT_EQ(h->serviceInUse[49], 1);
  EXPECT_EQ(h->serviceInUse[40], 1);
}

TEST(HostMacroVariables, NumbersAreStoredAsTheShortestExactText) {
  EXPECT_EQ(ReferenceHost::formatMacroNumber(-2145967872.0), "-2145967872");
  EXPECT_EQ(ReferenceHost::formatMacroNumber(-2147481600.0), "-2147481600");
  EXPECT_EQ(ReferenceHost::formatMacroNumber(0.0), "0");
  EXPECT_EQ(ReferenceHost::formatMacroNumber(-0.0), "0");
  EXPECT_EQ(ReferenceHost::formatMacroNumber(1.5), "1.5");
  EXPECT_EQ(ReferenceHost::formatMacroNumber(0.1), "0.1");
  EXPECT_EQ(std::stod(ReferenceHost::formatMacroNumber(1e300)), 1e300);
  EXPECT_EQ(std::stod(ReferenceHost::formatMacroNumber(-1e-300)), -1e-300);
  EXPECT_EQ(ReferenceHost::formatMacroNumber(refhost::missingValue()), ".");
  // Single-precision status values as the packages store SYSRC.
  float f = static_cast<float>(static_cast<int32_t>(0x80000803u));
  EXPECT_EQ(ReferenceHost::formatMacroNumber(f), "-2147481600");
}

TEST(HostMacroVariables, ScopesArePerSessionAndReadsFallBackToAncestors) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  HostSession* a = host.newSession(nullptr, "A");
  HostSession* b = host.newSession(nullptr, "B");
  ASSERT_EQ(hostSetMacroText(h, hostMacroScope(h, a), "SYSMSG", 6, "from a", 6), kStatusOk);
  ASSERT_EQ(hostSetMacroNumber(h, hostMacroScope(h, b), "sysrc", 5, -2145967872.0), kStatusOk);
  EXPECT_EQ(host.macroText("SYSMSG", a), "from a");
  EXPECT_EQ(host.macroText("SYSMSG", b), std::nullopt);
  EXPECT_EQ(host.macroText("SYSRC", b), "-2145967872");  // names ignore case
  host.setMacroText("GLOBAL", "top");
  EXPECT_EQ(host.macroText("global", a), "top");
  // An empty text is a defined, empty value.
  hostSetMacroText(h, hostMacroScope(h, a), "SYSMSG", 6, "", 0);
  EXPECT_EQ(host.macroText("SYSMSG", a), "");
  // A scope of an ended session is refused, not written.
  HostMacroScope* stale = hostMacroScope(h, b);
  host.endSession(b);
  EXPECT_NE(hostSetMacroText(h, stale, "X", 1, "y", 1), kStatusOk);
}

TEST(HostFormat, WritesAtMostCapacityAndReturnsTheBytesWritten) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  char buffer[64];
  std::memset(buffer, '#', sizeof buffer);
  int32_t n = hostFormat(h, buffer, 8, "VQSOBJ:%*s\\%*s", 4, "Type", 8, "A5B6C7D8");
  EXPECT_EQ(n, 8);
  EXPECT_EQ(std::string(buffer, 9), "VQSOBJ:T#");
  n = hostFormat(h, buffer, 64, "%.*s|%d|%x|%lli|%c%%", 3, "abcdef", -7, 255, -9000000000LL, 'z');
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "abc|-7|ff|-9000000000|z%");
  n = hostFormat(h, buffer, 16, "%5s|%-3i|", "ab", 4);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "   ab|4  |");
  EXPECT_EQ(hostFormat(h, buffer, 0, "%s", "abc"), 0);
  // A precision bounds the read: the text need not be terminated.
  const char unterminated[3] = {'x', 'y', 'z'};
  n = hostFormat(h, buffer, 16, "[%.*s]", 2, unterminated);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "[xy]");
}

TEST(HostMessages, CatalogueTextsAndTheirBounds) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  const StatusCode named[] = {0x80000803u, 0x801720DEu, 0x801720DFu, 0x801720E8u, 0x8017210Bu, 0x8017210Cu, 0x8017210Du,
                              0x8017212Du, 0x8017212Eu, 0x8017212Fu, 0x80172130u, 0x80172131u,
                              0x80172132u, 0x803FC002u, 0x803FC009u, 0x803FC264u, 0x803FC26Au,
                              0x8C7FE80Bu, 0x8C7FE80Cu, 0x8C7FE80Du, 0x8C7FE80Fu, 0x8C7FE810u,
                              0x8C7FE817u, 0x8C7FE818u, 0x8C7FE819u, 0x8C7FE81Au, 0x8C7FE81Bu,
                              0x8C7FE81Cu, 0x8C7FE828u, 0x8C7FE829u, 0x8C7FE82Au, 0x8C7FE851u,
                              0x8C7FE852u, 0x8C7FE8C8u, 0x8C7FE8C9u, 0x8C7FE8CAu};
  char buffer[600];
  for (StatusCode code : named) {
    int32_t n = hostMessageText(h, host.topSession(), buffer, code);
    std::string text(buffer, static_cast<size_t>(n));
    EXPECT_GT(n, 10) << std::hex << code;
    EXPECT_EQ(text.find("Unknown"), std::string::npos) << std::hex << code;
  }
  int32_t n = hostMessageText(h, host.topSession(), buffer, 0x81234567u);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "Unknown status code 0x81234567.");
  // The service never writes more than the capacity it is given.
  std::memset(buffer, '#', sizeof buffer);
  auto raw = host_service::entry<host_service::MessageText>(h, host_service::kMessageText);
  n = raw(host.topSession(), buffer, 0x80000803u, 5, 0, 0);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(buffer[5], '#');
  EXPECT_EQ(ReferenceHost::messageText(kNameValueNoValue).empty(), false);
}

// The exact code behind SYSMSG is kept per session: SYSRC, a single-precision number, cannot
// tell neighbouring codes apart.
TEST(HostMessages, LastLookedUpCodeIsKeptPerSession) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  HostSession* child = host.newSession(host.topSession(), "DOSUB");
  EXPECT_EQ(host.lastMessageStatus(child), 0u);
  char buffer[64];
  hostMessageText(h, child, buffer, 0x801720DFu);
  hostMessageText(h, host.topSession(), buffer, 0x80000803u);
  EXPECT_EQ(host.lastMessageStatus(child), 0x801720DFu);
  EXPECT_EQ(host.lastMessageStatus(host.topSession()), 0x80000803u);
  hostMessageText(h, child, buffer, 0x801720E0u);
  EXPECT_EQ(host.lastMessageStatus(child), 0x801720E0u);
}

TEST(HostMessages, ReportIssueAndPutMessageAreRecordedAndLogged) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  hostReportStatus(h, 0x801720DEu);
  hostIssueMessage(h, "2, (url),", 10);  // the terminating byte is part of what is passed
  hostPutMessage(h, 740, 287);
  const auto& r = host.record();
  ASSERT_EQ(r.reportedStatuses.size(), 1u);
  EXPECT_EQ(r.reportedStatuses[0], 0x801720DEu);
  ASSERT_EQ(r.issuedMessages.size(), 1u);
  EXPECT_EQ(r.issuedMessages[0], std::string("2, (url),\0", 10));
  ASSERT_EQ(r.putMessages.size(), 1u);
  EXPECT_EQ(r.putMessages[0].message, 287);
  auto lines = host.logTexts();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "ERROR: " + ReferenceHost::messageText(0x801720DEu));
  EXPECT_NE(lines[1].find("2, (url),"), std::string::npos);
  EXPECT_EQ(lines[1].find('\0'), std::string::npos);
  EXPECT_EQ(lines[2], "ERROR: " + ReferenceHost::messageText(makeStatus(740, 287)));
  hostLogLine(h, "%*s,%*s", 3, "abc", 9, "********");
  EXPECT_EQ(host.logTexts().back(), "abc, ********");
}

TEST(HostOptions, OptionTextYearCutoffAndTheOptionCalls) {
  HostConfig config = quietConfig();
  config.optionText = "-rngseed=5 -other";
  ReferenceHost host(config);
  HostInterface* h = host.interface();
  char text[8];
  char* pointer = text;
  int32_t length = 8;
  ASSERT_EQ(hostGetOptionText(h, &pointer, &length, host.topSession()), kStatusOk);
  EXPECT_EQ(length, 8);  // cut at the caller's length
  EXPECT_EQ(std::string(text, 8), "rngseed=");  // the host's form: no introducing dashes
  char whole[32];
  pointer = whole;
  length = 32;
  ASSERT_EQ(hostGetOptionText(h, &pointer, &length, host.topSession()), kStatusOk);
  EXPECT_EQ(std::string(whole, length), "rngseed=5 other");
  host.setOptionText("");
  pointer = text;
  length = 8;
  ASSERT_EQ(hostGetOptionText(h, &pointer, &length, host.topSession()), kStatusOk);
  EXPECT_EQ(length, 0);

  int64_t cutoff = 0;
  ASSERT_EQ(hostGetOption(h, "YEARCUTOFF", 10, &cutoff, host.topSession()), kStatusOk);
  EXPECT_EQ(cutoff, 1940);
  host.setOption("yearcutoff", 1926);
  ASSERT_EQ(hostGetOption(h, "YEARCUTOFF", 10, &cutoff, host.topSession()), kStatusOk);
  EXPECT_EQ(cutoff, 1926);
  EXPECT_EQ(hostGetOption(h, "NOSUCH", 6, &cutoff, host.topSession()), refhost::kHostStatusUnknownOption);

  hostOptionUpdate(h, -1);
  hostOptionSet(h, 28, 1);
  hostOptionUpdate(h, 0);
  const auto& events = host.record().optionEvents;
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, refhost::OptionEvent::kUpdate);
  EXPECT_EQ(events[0].first, -1);
  EXPECT_EQ(events[1].kind, refhost::OptionEvent::kSet);
  EXPECT_EQ(events[1].first, 28);
  EXPECT_EQ(events[1].second, 1);
  EXPECT_EQ(events[2].first, 0);
}

TEST(HostTextServices, ParseCompareTestTranscodeAndShortName) {
  HostConfig config = quietConfig();
  config.multiByte = true;
  ReferenceHost host(config);
  HostInterface* h = host.interface();
  EXPECT_EQ(h->multiByteMode, 1u);
  int32_t consumed = -1;
  double value = -1;
  ASSERT_EQ(hostParseNumber(h, "12345 rest", 10, &consumed, &value), kStatusOk);
  EXPECT_EQ(consumed, 5);
  EXPECT_EQ(value, 12345);
  ASSERT_EQ(hostParseNumber(h, "-1.5e3x", 7, &consumed, &value), kStatusOk);
  EXPECT_EQ(consumed, 6);
  EXPECT_EQ(value, -1500);
  ASSERT_EQ(hostParseNumber(h, "3e", 2, &consumed, &value), kStatusOk);  // "e" without digits
  EXPECT_EQ(consumed, 1);
  EXPECT_NE(hostParseNumber(h, "x1", 2, &consumed, &value), kStatusOk);
  EXPECT_EQ(consumed, 0);
  // Only the given length is read.
  ASSERT_EQ(hostParseNumber(h, "123", 2, &consumed, &value), kStatusOk);
  EXPECT_EQ(value, 12);

  EXPECT_TRUE(hostCompareMixed(h, "Stra\xC3\x9F\xC3\xA9", 8, "STRA\xC3\x9F\xC3\x89", 8));
  EXPECT_TRUE(hostCompareMixed(h, "abc", 3, "ABC", 3));
  EXPECT_FALSE(hostCompareMixed(h, "abc", 3, "abd", 3));
  EXPECT_FALSE(hostCompareMixed(h, "abc", 3, "abcd", 4));

  EXPECT_EQ(hostTextTest(h, "vqsobj:", "VQSObj:Type/x", 13), 1);
  EXPECT_EQ(hostTextTest(h, "vqsobj:", "vqsobj", 6), 0);  // shorter than the prefix
  EXPECT_EQ(hostTextTest(h, "vqsobj:", "omsobj:x", 8), 0);

  char out[8];
  int32_t outLength = -1;
  ASSERT_EQ(hostTranscode(h, "caf\xE9", 4, out, 8, &outLength), kStatusOk);  // Latin-1 byte
  EXPECT_EQ(std::string(out, static_cast<size_t>(outLength)), "caf\xC3\xA9");
  EXPECT_EQ(hostTranscode(h, "abcdefghij", 10, out, 8, &outLength), refhost::kHostStatusBufferTooSmall);

  char shortName[8];
  hostGetShortName(h, shortName);
  EXPECT_EQ(std::string(shortName, 8), "REFHOST ");
  EXPECT_EQ(h->upperCaseTable['q'], 'Q');
  EXPECT_EQ(h->upperCaseTable[0xE9], 0xE9);
  EXPECT_EQ(h->characterClassTable[' '] & kClassBlank, kClassBlank);
  EXPECT_NE(h->characterClassTable['a'] & kClassNameMask, 0);
  EXPECT_NE(h->characterClassTable['7'] & kClassNameMask, 0);
  EXPECT_EQ(h->characterClassTable['_'] & kClassNameMask, 0);
  EXPECT_EQ(h->characterClassTable['='], 0);
}

TEST(HostSessionItems, NamedItemsAndSlotsBelongToTheirSession) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  HostSession* a = host.newSession(nullptr, "A");
  HostSession* b = host.newSession(nullptr, "B");
  int record = 0;
  void* value = &record;
  EXPECT_EQ(hostGetNamedItem(h, a, "__QMDI_REBCACHE", 15, &value), kStatusOk);
  EXPECT_EQ(value, nullptr);  // a missing item reads as null
  ASSERT_EQ(hostSetNamedItem(h, a, "__QMDI_REBCACHE", 15, &record), kStatusOk);
  EXPECT_EQ(hostGetNamedItem(h, a, "__QMDI_REBCACHE", 15, &value), kStatusOk);
  EXPECT_EQ(value, &record);
  EXPECT_EQ(hostGetNamedItem(h, b, "__QMDI_REBCACHE", 15, &value), kStatusOk);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(hostGetNamedItem(h, a, "__qmdi_rebcache", 15, &value), kStatusOk);
  EXPECT_EQ(value, nullptr);  // names compare byte for byte
  ASSERT_EQ(hostSetNamedItem(h, a, "__QMDI_REBCACHE", 15, nullptr), kStatusOk);
  EXPECT_EQ(host.namedItem(a, "__QMDI_REBCACHE"), nullptr);

  hostSetSessionSlot(h, a, 37, &record);
  EXPECT_EQ(a->extensionSlots[37], &record);
  EXPECT_EQ(b->extensionSlots[37], nullptr);
  hostSetSessionSlot(h, a, 64, &record);  // out of range: refused and logged
  EXPECT_NE(host.logTexts().back().find("slot 64"), std::string::npos);

  host.endSession(a);
  EXPECT_EQ(hostGetNamedItem(h, a, "X", 1, &value), refhost::kHostStatusBadSession);
  EXPECT_EQ(value, nullptr);
}

TEST(HostMetadataAndJava, ProviderAndBridgeAnswers) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  void* md = &host;
  EXPECT_EQ(hostGetMetadataInterface(h, host.topSession(), &md), refhost::kHostStatusNoMetadataServer);
  EXPECT_EQ(md, nullptr);
  EXPECT_EQ(ReferenceHost::messageText(refhost::kHostStatusNoMetadataServer),
            "No metadata server is configured.");
  int fake = 0;
  HostSession* asked = nullptr;
  host.setMetadataProvider([&](HostSession* s, void** out) {
    asked = s;
    *out = &fake;
    return kStatusOk;
  });
  HostSession* child = host.newSession(nullptr, "X");
  EXPECT_EQ(hostGetMetadataInterface(h, child, &md), kStatusOk);
  EXPECT_EQ(md, &fake);
  EXPECT_EQ(asked, child);
  EXPECT_EQ(host.record().metadataInterfaceRequests, 2u);
  host.setMetadataProvider([](HostSession*, void**) -> StatusCode { throw std::runtime_error("down"); });
  EXPECT_NE(hostGetMetadataInterface(h, child, &md), kStatusOk);  // no exception reaches the caller

  void *env = &fake, *cls = &fake, *obj = &fake;
  EXPECT_NE(hostPassIdentity(h, "app", 3, &env, &cls, &obj), kStatusOk);
  EXPECT_EQ(env, nullptr);
  int e = 1, c = 2, o = 3;
  host.registerJavaObject("APP", {&e, &c, &o});
  ASSERT_EQ(hostPassIdentity(h, "app   ", 6, &env, &cls, &obj), kStatusOk);
  EXPECT_EQ(obj, &o);
  EXPECT_EQ(hostLoadComponent(h), kStatusOk);
  ASSERT_EQ(host.record().loadComponentCalls.size(), 1u);
  EXPECT_EQ(host.record().loadComponentCalls[0].component, 131588);
  EXPECT_EQ(host.record().loadComponentCalls[0].name, "RUXQMDI ");
}

TEST(HostAllocators, CountsZeroFillAndFaultInjection) {
  ReferenceHost host(quietConfig());
  HostAllocator* streams = host.streamAllocator();
  auto* block = static_cast<unsigned char*>(hostAllocate(streams, 64, kTagGeneral));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0);
  EXPECT_EQ(host.allocatorStats(streams).blocksOutstanding, 1u);
  EXPECT_EQ(host.allocatorStats(streams).bytesOutstanding, 64u);

  host.failAllocationAt(streams, 2);
  void* first = hostAllocate(streams, 8, kTagGeneral);
  void* second = hostAllocate(streams, 8, kTagGeneral);
  void* third = hostAllocate(streams, 8, kTagGeneral);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);  // the fault fires once
  auto stats = host.allocatorStats(streams);
  EXPECT_EQ(stats.requests, 4u);
  EXPECT_EQ(stats.failures, 1u);
  EXPECT_EQ(stats.blocksOutstanding, 3u);

  streams->ops->release(streams, first);
  streams->ops->release(streams, first);  // a double free is counted, not performed
  EXPECT_EQ(host.allocatorStats(streams).badReleases, 1u);
  EXPECT_EQ(host.allocatorStats(streams).blocksOutstanding, 2u);

  // Session pools: counted per pool, freed with the session, faults across all pools.
  HostSession* s = host.newSession(nullptr, "S");
  host.failSessionPoolsAt(1);
  EXPECT_EQ(hostAllocate(s->pool, 16, kTagPackageContext), nullptr);
  EXPECT_NE(hostAllocate(s->pool, 16, kTagPackageContext), nullptr);
  EXPECT_EQ(host.allocatorStats(s->pool).blocksOutstanding, 1u);
  auto before = host.sessionPoolTotals().blocksOutstanding;
  host.endSession(s);
  EXPECT_EQ(host.sessionPoolTotals().blocksOutstanding, before - 1);
}

}  // namespace

namespace {

TEST(HostTaskAndLog, ThreadIdentityAndTheLogEcho) {
  refhost::ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  EXPECT_EQ(h->currentThreadIdentity, nullptr);  // absent by default
  EXPECT_EQ(h->currentTask, host.task());
  EXPECT_NE(host.task()->identity, 0u);
  host.setThreadIdentity(77);
  ASSERT_NE(h->currentThreadIdentity, nullptr);
  EXPECT_EQ(*h->currentThreadIdentity, 77u);
  host.setThreadIdentity(std::nullopt);
  EXPECT_EQ(h->currentThreadIdentity, nullptr);

  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  host.setLogFile(file);
  host.log(kLevelWarning, "two\nlines");
  host.setLogFile(nullptr);
  std::rewind(file);
  char text[64] = {};
  size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  EXPECT_EQ(std::string(text, n), "WARNING: two\nlines\n");
  auto lines = host.logTexts();
  ASSERT_EQ(lines.size(), 2u);  // one entry per line
  EXPECT_EQ(lines[1], "lines");
}

}  // namespace
