// What every call goes through, at the sizes where the host changes how it keeps things: the
// frame and its constants beyond the room kept on the stack, SYSMSG and SYSRC in their fixed
// places beside other macro variables, plain-string formats written straight into the buffer,
// the remembered named item, and a host that keeps no record of component loads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/host_services.h"
#include "host/reference_host.h"
#include "tests/host/quiet_config.h"

namespace {

using refhost::Argument;
using refhost::CharacterVariable;
using refhost::HostConfig;
using refhost::ReferenceHost;

using refhost::testing::quietConfig;

std::string pattern(size_t n, char first) {
  std::string text(n, ' ');
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>(first + i % 23);
  return text;
}

TEST(HostCallFrame, LongConstantsManyArgumentsAndLongResultsArriveWhole) {
  HostConfig config = quietConfig();
  config.characterResultCapacity = 3000;
  ReferenceHost host(config);
  host.load(FIXTURE_PACKAGE);

  // A constant longer than the frame's own room for texts, after one that fills most of it.
  const std::string big = pattern(5000, 'a');
  CharacterVariable out(6000);
  std::vector<Argument> args = {Argument::literal(big), Argument::of(out)};
  EXPECT_EQ(host.call(nullptr, "ECHO", args).numericValue, 5000);
  EXPECT_EQ(out.value(), big);

  // A borrowed constant reaches the function as a copy of the caller's bytes.
  std::string mine = pattern(900, 'A');
  args = {Argument::borrowed(mine), Argument::of(out)};
  EXPECT_EQ(host.call(nullptr, "ECHO", args).numericValue, 900);
  EXPECT_EQ(out.value(), mine);
  EXPECT_EQ(mine, pattern(900, 'A'));
  args = {Argument::borrowed(std::string_view()), Argument::of(out)};
  EXPECT_EQ(host.call(nullptr, "ECHO", args).numericValue, 0);

  // More arguments than the frame keeps on the stack, each a long constant.
  std::vector<Argument> many;
  for (int i = 0; i < 40; ++i) many.push_back(Argument::literal(pattern(300, 'a')));
  EXPECT_EQ(host.call(nullptr, "COUNT", many).numericValue, 40);

  // A character result longer than the stack room for it.
  const std::string input = pattern(2500, 'k');
  std::vector<Argument> one = {Argument::literal(input)};
  const refhost::CallResult shouted = host.call(nullptr, "SHOUT", one);
  EXPECT_EQ(shouted.characterValue, "R:" + input);
}

TEST(HostMacroVariables, StatusVariablesKeepTheirTextsExactlyAsOthersDo) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  HostSession* parent = host.newSession(nullptr, "P");
  HostSession* child = host.newSession(parent, "C");
  const auto setText = [&](HostSession* s, const char* name, const std::string& text) {
    return hostSetMacroText(h, hostMacroScope(h, s), name, static_cast<int32_t>(std::strlen(name)),
                            text.data(), static_cast<int32_t>(text.size()));
  };

  // Never set: no value, in the session and its ancestors.
  EXPECT_EQ(host.macroText("SYSMSG", child), std::nullopt);
  EXPECT_EQ(host.macroText("SYSRC", child), std::nullopt);

  // A long text, then a shorter one written over it: nothing of the first is left.
  ASSERT_EQ(setText(parent, "sysMSG", pattern(400, 'a')), kStatusOk);
  ASSERT_EQ(setText(parent, "SYSMSG", "short"), kStatusOk);
  EXPECT_EQ(host.macroText("sysmsg", parent), "short");
  // The child has none of its own and reads its parent's, until it sets one.
  EXPECT_EQ(host.macroText("SYSMSG", child), "short");
  ASSERT_EQ(setText(child, "SYSMSG", ""), kStatusOk);
  EXPECT_EQ(host.macroText("SYSMSG", child), "");
  EXPECT_EQ(host.macroText("SYSMSG", parent), "short");

  ASSERT_EQ(hostSetMacroNumber(h, hostMacroScope(h, child), "SysRc", 5, -2145967872.0), kStatusOk);
  EXPECT_EQ(host.macroText("SYSRC", child), "-2145967872");
  ASSERT_EQ(hostSetMacroNumber(h, hostMacroScope(h, child), "SYSRC", 5, 0.0), kStatusOk);
  EXPECT_EQ(host.macroText("sysrc", child), "0");
  EXPECT_EQ(host.macroText("SYSRC", parent), std::nullopt);

  // Names near the fixed ones are names of their own.
  ASSERT_EQ(setText(child, "SYSMS", "five"), kStatusOk);
  ASSERT_EQ(setText(child, "SYSMSGX", "seven"), kStatusOk);
  ASSERT_EQ(setText(child, "SYS\xD2SG", "high bit"), kStatusOk);
  EXPECT_EQ(host.macroText("sysms", child), "five");
  EXPECT_EQ(host.macroText("SYSMSGX", child), "seven");
  EXPECT_EQ(host.macroText("SYS\xD2SG", child), "high bit");
  EXPECT_EQ(host.macroText("SYSMSG", child), "");

  // The program's own setter reaches the same places.
  host.setMacroText("SYSMSG", "set by the host", parent);
  EXPECT_EQ(host.macroText("SYSMSG", parent), "set by the host");
}

TEST(HostFormat, PlainStringFormatsGiveTheFullEnginesBytes) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  char buffer[64];
  const auto text = [&](int32_t n) { return std::string(buffer, static_cast<size_t>(n)); };

  int32_t n = hostFormat(h, buffer, 64, "VQSOBJ:%*s\\%*s", 6, "Person", 17, "A0000001.PERSON01");
  EXPECT_EQ(text(n), "VQSOBJ:Person\\A0000001.PERSON01");
  // A width pads on the left, a negative one on the right; a longer text is not cut.
  n = hostFormat(h, buffer, 64, "[%*s][%*s][%*s]", 5, "ab", -5, "cd", 1, "long");
  EXPECT_EQ(text(n), "[   ab][cd   ][long]");
  // A precision bounds the read, a negative one does not; null prints "(null)".
  const char unterminated[4] = {'w', 'x', 'y', 'z'};
  n = hostFormat(h, buffer, 64, "%.*s|%.*s|%s|%.*s|%%", 3, unterminated, -1, "all",
                 static_cast<const char*>(nullptr), 2, static_cast<const char*>(nullptr));
  EXPECT_EQ(text(n), "wxy|all|(null)|(n|%");
  n = hostFormat(h, buffer, 64, "%*.*s|", 6, 2, "abcdef");
  EXPECT_EQ(text(n), "    ab|");

  // Cut at the capacity, in the middle of a literal, a padding or a text; nothing beyond it.
  std::memset(buffer, '#', sizeof buffer);
  n = hostFormat(h, buffer, 9, "VQSOBJ:%*s", 10, "Type");
  EXPECT_EQ(n, 9);
  EXPECT_EQ(std::string(buffer, 10), "VQSOBJ:  #");
  std::memset(buffer, '#', sizeof buffer);
  n = hostFormat(h, buffer, 5, "ab%scd", "XYZ");
  EXPECT_EQ(std::string(buffer, 6), "abXYZ#");
  EXPECT_EQ(hostFormat(h, buffer, 0, "%*s", 3, "a"), 0);
}

TEST(HostSessionItems, TheRememberedItemFollowsChangesAndRemovals) {
  ReferenceHost host(quietConfig());
  HostInterface* h = host.interface();
  HostSession* s = host.newSession(nullptr, "S");
  HostSession* other = host.newSession(nullptr, "O");
  int first = 1, second = 2, third = 3;
  void* out = nullptr;
  ASSERT_EQ(hostSetNamedItem(h, s, "ITEM", 4, &first), kStatusOk);
  ASSERT_EQ(hostGetNamedItem(h, s, "ITEM", 4, &out), kStatusOk);
  EXPECT_EQ(out, &first);
  ASSERT_EQ(hostSetNamedItem(h, s, "ITEM", 4, &second), kStatusOk);
  ASSERT_EQ(hostGetNamedItem(h, s, "ITEM", 4, &out), kStatusOk);
  EXPECT_EQ(out, &second);
  // Another name, and the same name in another session, are other items.
  ASSERT_EQ(hostGetNamedItem(h, s, "ITEMS", 5, &out), kStatusOk);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(hostGetNamedItem(h, s, "ITEm", 4, &out), kStatusOk);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(hostGetNamedItem(h, other, "ITEM", 4, &out), kStatusOk);
  EXPECT_EQ(out, nullptr);
  // Removed, then set again: the old node is gone, the new value shows.
  ASSERT_EQ(hostGetNamedItem(h, s, "ITEM", 4, &out), kStatusOk);
  ASSERT_EQ(hostSetNamedItem(h, s, "ITEM", 4, nullptr), kStatusOk);
  ASSERT_EQ(hostGetNamedItem(h, s, "ITEM", 4, &out), kStatusOk);
  EXPECT_EQ(out, nullptr);
  // Many other items make the map grow in between; the remembered one stays right.
  for (int i = 0; i < 200; ++i) {
    const std::string name = "X" + std::to_string(i);
    hostSetNamedItem(h, s, name.c_str(), static_cast<int32_t>(name.size()), &third);
  }
  ASSERT_EQ(hostSetNamedItem(h, s, "ITEM", 4, &third), kStatusOk);
  ASSERT_EQ(hostGetNamedItem(h, s, "ITEM", 4, &out), kStatusOk);
  EXPECT_EQ(out, &third);
  ASSERT_EQ(hostGetNamedItem(h, s, "X7", 2, &out), kStatusOk);
  EXPECT_EQ(out, &third);
}

TEST(HostRecord, ComponentLoadsAreKeptOnlyWhenAsked) {
  HostConfig config = quietConfig();
  config.recordComponentLoads = false;
  ReferenceHost quiet(config);
  hostLoadComponent(quiet.interface());
  EXPECT_TRUE(quiet.record().loadComponentCalls.empty());

  ReferenceHost recording(quietConfig());
  hostLoadComponent(recording.interface());
  EXPECT_EQ(recording.record().loadComponentCalls.size(), 1u);
}

}  // namespace
