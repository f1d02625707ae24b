// `mdhost inspect` on the real packages: the descriptor lines keep their fixed form, and each
// cb= offset leads back to the callback the host registered.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "runner/inspect.h"

namespace runner {
namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Inspected {
  std::vector<std::string> lines;
  std::vector<std::string> descriptorLines;
};

Inspected inspect(refhost::ReferenceHost& host, const refhost::LoadedLibrary& library) {
  std::ostringstream out;
  printLibrary(out, library);
  Inspected result;
  result.lines = linesOf(out.str());
  const std::regex descriptor(R"(^\d+ METADATA_\w+ .*|^\d+ METASEC_\w+ .*)");
  for (const auto& line : result.lines) {
    if (std::regex_match(line, descriptor)) result.descriptorLines.push_back(line);
  }
  return result;
}

bool contains(const std::vector<std::string>& lines, const std::string& wanted) {
  for (const auto& line : lines) {
    if (line.find(wanted) != std::string::npos) return true;
  }
  return false;
}

TEST(Inspect, ObjectPackageDescriptorsInFixedForm) {
  refhost::HostConfig config;
  config.logFile = nullptr;
  refhost::ReferenceHost host(config);
  const refhost::LoadedLibrary& library = host.load(RUX_BUILD_DIR "/lib/objfuncs.so");
  const Inspected inspected = inspect(host, library);

  EXPECT_TRUE(contains(inspected.lines, "magic           0xb0bdebed"));
  EXPECT_TRUE(contains(inspected.lines, "identification  0x2013ad67"));
  EXPECT_TRUE(contains(inspected.lines, "name            \"objfuncs\""));
  EXPECT_TRUE(contains(inspected.lines, "\"RUX_VERSION_HOTFIX_NUMBER="));
  ASSERT_EQ(inspected.descriptorLines.size(), 23u);

  const std::regex form(R"((\d+) (\w+) (\d+) (\d+) (\d+) 0x([0-9a-f]+) 0x([0-9a-f]+) cb=0x([0-9a-f]+))");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(inspected.descriptorLines[0], match, form))
      << inspected.descriptorLines[0];
  EXPECT_EQ(match[1], "1");
  EXPECT_EQ(match[2], "METADATA_RESOLVE");
  EXPECT_EQ(match[3].str() + " " + match[4].str() + " " + match[5].str(), "3 3 66");
  EXPECT_EQ(match[6], "0");
  EXPECT_EQ(match[7], "1b2");
  // Rows with their own call words print them in lower-case hexadecimal.
  EXPECT_TRUE(contains(inspected.descriptorLines, "21 METADATA_APPPROP 2 2 66 0xa 0x12 cb=0x"));
  EXPECT_TRUE(contains(inspected.descriptorLines, "22 METADATA_GETURI 2 6 66 0x8200 0x36db2 cb=0x"));
  EXPECT_TRUE(contains(inspected.descriptorLines, "11 METADATA_SETASSN 4 65535 66 0x0 0x12492492"));

  // Every offset is the registered callback minus the load base, and lands in the library.
  std::string offsetOfGetnass, offsetOfGetnasn;
  for (size_t i = 0; i < inspected.descriptorLines.size(); ++i) {
    ASSERT_TRUE(std::regex_match(inspected.descriptorLines[i], match, form));
    const refhost::LoadedFunction& function = library.functions()[i];
    const uintptr_t offset = std::stoull(match[8].str(), nullptr, 16);
    EXPECT_EQ(library.loadBase() + offset, reinterpret_cast<uintptr_t>(function.callback))
        << function.name;
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(library.loadBase() + offset), &info), 0);
    EXPECT_NE(std::string(info.dli_fname).find("objfuncs.so"), std::string::npos);
    if (match[2] == "METADATA_GETNASS") offsetOfGetnass = match[8];
    if (match[2] == "METADATA_GETNASN") offsetOfGetnasn = match[8];
  }
  // The two names served by one callback show the same offset.
  EXPECT_FALSE(offsetOfGetnass.empty());
  EXPECT_EQ(offsetOfGetnass, offsetOfGetnasn);
}

TEST(Inspect, SecurityPackageAndRefusedFiles) {
  refhost::HostConfig config;
  config.logFile = nullptr;
  refhost::ReferenceHost host(config);
  const Inspected inspected = inspect(host, host.load(RUX_BUILD_DIR "/lib/secfuncs.so"));
  EXPECT_TRUE(contains(inspected.lines, "identification  0x22518554"));
  ASSERT_EQ(inspected.descriptorLines.size(), 14u);
  EXPECT_EQ(inspected.descriptorLines[12].rfind("13 METASEC_BEGTRAN 3 3 66 0x0 0x8e cb=0x", 0), 0u);

  // Something that is not a package ends with status 2 and a message, not a crash.
  testing::internal::CaptureStderr();
  EXPECT_EQ(inspectLibrary(RUX_SOURCE_DIR "/examples/tour.lua"), 2);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("mdhost inspect:"), std::string::npos);
}

}  // namespace
}  // namespace runner
