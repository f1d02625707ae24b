// Entry, image information block, module record, version record and registration of both
// packages, checked byte for byte through the real load path.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "host/reference_host.h"
#include "tests/host/quiet_config.h"

namespace {

using refhost::testing::quietConfig;

std::string libraryPath(const char* name) { return std::string(RUX_BUILD_DIR) + "/lib/" + name; }

struct ExpectedRow {
  const char* name;
  uint16_t minArgs, maxArgs;
  uint32_t callWord, argWord;
};

// The registration tables as the host must receive them.
const ExpectedRow kObjfuncsRows[] = {
    {"METADATA_RESOLVE", 3, 3, 0, 0x1B2},     {"METADATA_GETATTR", 3, 3, 0, 0x192},
    {"METADATA_SETATTR", 3, 3, 0, 0x92},      {"METADATA_GETPROP", 3, 4, 0, 0xD92},
    {"METADATA_SETPROP", 3, 4, 0, 0xC92},     {"METADATA_DELOBJ", 1, 1, 0, 0x2},
    {"METADATA_GETNPRP", 4, 4, 0, 0xD8A},     {"METADATA_GETNATR", 4, 4, 0, 0xD8A},
    {"METADATA_GETNASS", 4, 4, 0, 0xC52},     {"METADATA_GETNOBJ", 3, 3, 0, 0x18A},
    {"METADATA_SETASSN", 4, 65535, 0, 0x12492492}, {"METADATA_NEWOBJ", 2, 6, 0, 0x124B2},
    {"METADATA_PURGE", 0, 1, 0, 0x2},         {"METADATA_GETNASL", 3, 3, 0, 0x18A},
    {"METADATA_GETNTYP", 2, 2, 0, 0x31},      {"METADATA_VERSION", 0, 0, 0, 0},
    {"METADATA_PAUSED", 0, 0, 0, 0},          {"METADATA_DELASSN", 2, 2, 0, 0x12},
    {"METADATA_GETNASN", 4, 4, 0, 0xC52},     {"METADATA_PATHOBJ", 5, 5, 0, 0x2492},
    {"METADATA_APPPROP", 2, 2, 0xA, 0x12},    {"METADATA_GETURI", 2, 6, 0x8200, 0x36DB2},
    {"METADATA_PASSID", 1, 2, 0x1, 0x12},
};
const ExpectedRow kSecfuncsRows[] = {
    {"METASEC_GETNID", 5, 8, 0, 0x48EC52},     {"METASEC_GETNACT", 6, 7, 0, 0x76C52},
    {"METASEC_GETNAUTH", 8, 10, 0, 0x11DB6C52}, {"METASEC_SETAUTH", 7, 8, 0, 0x292492},
    {"METASEC_REMACT", 3, 4, 0, 0x292},        {"METASEC_APPLYACT", 2, 4, 0, 0x292},
    {"METASEC_SETACTA", 4, 4, 0, 0x492},       {"METASEC_GETACTA", 4, 4, 0, 0x492},
    {"METASEC_GETNACTA", 5, 5, 0, 0x2C52},     {"METASEC_NEWACT", 3, 65535, 0, 0x12492492},
    {"METASEC_DELACT", 2, 2, 0, 0x12},         {"METASEC_LDUMP", 6, 6, 0, 0x12452},
    {"METASEC_BEGTRAN", 3, 3, 0, 0x8E},        {"METASEC_ENDTRAN", 3, 3, 0, 0x52},
};

struct PackageCase {
  const char* file;
  const char* moduleName;
  uint32_t identification;
  const ExpectedRow* rows;
  int32_t count;
};
const PackageCase kPackages[] = {
    {"objfuncs.so", "objfuncs", 0x2013AD67, kObjfuncsRows, 23},
    {"secfuncs.so", "secfuncs", 0x22518554, kSecfuncsRows, 14},
};

class PackageTest : public ::testing::TestWithParam<PackageCase> {
 protected:
  PackageTest() : host_(quietConfig()) {}
  const refhost::LoadedLibrary& load() { return host_.load(libraryPath(GetParam().file)); }
  refhost::ReferenceHost host_;
};

TEST_P(PackageTest, ExportsOnlyTheTwoEntries) {
  const std::string command = "nm -D --defined-only " + libraryPath(GetParam().file);
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    const auto last = text.find_last_of(' ');
    symbols.insert(text.substr(last + 1, text.find_last_not_of("\n") - last));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(symbols, (std::set<std::string>{"mcn_main", "tkvercn1"}));
}

TEST_P(PackageTest, ImageInformationBlockBytes) {
  const auto& library = load();
  const auto* bytes = reinterpret_cast<const unsigned char*>(library.image());
  EXPECT_EQ(std::memcmp(bytes, "RUX_Image_Information=", 22), 0);
  EXPECT_EQ(bytes[22], 0);  // two NULs pad the 22-character marker
  EXPECT_EQ(bytes[23], 0);
  uint32_t magic, eight;
  std::memcpy(&magic, bytes + 24, 4);
  std::memcpy(&eight, bytes + 28, 4);
  EXPECT_EQ(magic, 0xB0BDEBEDu);
  EXPECT_EQ(eight, 8u);
  uint64_t moduleListAddress;
  std::memcpy(&moduleListAddress, bytes + 88, 8);
  EXPECT_EQ(moduleListAddress, reinterpret_cast<uintptr_t>(bytes + 112));
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 104), "001");
  uint64_t moduleAddress, terminator;
  std::memcpy(&moduleAddress, bytes + 112, 8);
  std::memcpy(&terminator, bytes + 120, 8);
  EXPECT_EQ(moduleAddress, reinterpret_cast<uintptr_t>(library.module()));
  EXPECT_EQ(terminator, 0u);
  // Build date: three-letter month, day, four-digit year.
  EXPECT_TRUE(std::regex_match(reinterpret_cast<const char*>(bytes + 58),
                               std::regex("[A-Z][a-z]{2} [0-9]{2} [0-9]{4}")));
  EXPECT_GT(std::strlen(reinterpret_cast<const char*>(bytes + 32)), 0u);
  EXPECT_LT(std::strlen(reinterpret_cast<const char*>(bytes + 32)), 6u);
}

TEST_P(PackageTest, ModuleRecordBytes) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(load().module());
  const unsigned char lead[4] = {0x00, 0x00, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(bytes, lead, 4), 0);
  auto word = [&](int offset) {
    uint32_t v;
    std::memcpy(&v, bytes + offset, 4);
    return v;
  };
  EXPECT_EQ(word(4), 1024u);
  EXPECT_EQ(word(8), 1024u);
  char name[12];
  std::memcpy(name, bytes + 12, 12);
  EXPECT_EQ(std::string(name, 12), std::string(GetParam().moduleName) + std::string(4, '\0'));
  EXPECT_EQ(word(32), 1u);
  EXPECT_EQ(word(36), 9683u);
  EXPECT_EQ(word(40), GetParam().identification);
  EXPECT_EQ(word(44), 15u);
}

TEST_P(PackageTest, VersionRecordTextsAndTkvercn1) {
  const auto& library = load();
  unsigned char buffer[208];
  std::memset(buffer, 0xAB, sizeof buffer);
  EXPECT_EQ(library.tkvercn1()(buffer), 0);
  EXPECT_EQ(std::memcmp(buffer, &library.image()->version, 208), 0);
  uint64_t field[27];
  std::memcpy(field + 1, buffer, 208);
  auto text = [&](int n) { return std::string(reinterpret_cast<const char*>(field[n])); };
  EXPECT_FALSE(text(1).empty());
  EXPECT_EQ(text(3), "");
  EXPECT_GT(field[4], 1700000000u);  // build time in seconds since 1970
  EXPECT_EQ(text(5), "base");
  EXPECT_GE(text(6).size(), 6u);
  EXPECT_LE(text(6).size(), 8u);
  EXPECT_EQ(text(7), "base");
  EXPECT_EQ(text(8).size(), 19u);
  EXPECT_EQ(text(9), "");
  EXPECT_EQ(text(10), "version");
  EXPECT_EQ(text(11), "::");
  EXPECT_EQ(text(12), "");
  EXPECT_EQ(text(13).size(), 64u);
  EXPECT_EQ(text(13).rfind("RUX_VERSION_HOTFIX_NUMBER=", 0), 0u);
  EXPECT_EQ(text(13).find_first_not_of(' ', 26), std::string::npos);
  EXPECT_EQ(text(14), "");
  EXPECT_EQ(text(15).size(), 64u);
  EXPECT_EQ(text(15).rfind("VERCON_IMAGE_DESCRIPTION=", 0), 0u);
  EXPECT_EQ(text(16).size(), 5u);
  EXPECT_TRUE(std::regex_match(
      text(17), std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                           "[A-Z]+ [0-9]{4}")))
      << text(17);
  for (int n = 18; n <= 26; ++n) EXPECT_EQ(field[n], 0u) << "field " << n;
}

TEST_P(PackageTest, DescriptorTableAsRegistered) {
  const auto& library = load();
  const auto& functions = library.functions();
  ASSERT_EQ(static_cast<int32_t>(functions.size()), GetParam().count);
  for (int32_t i = 0; i < GetParam().count; ++i) {
    const ExpectedRow& want = GetParam().rows[i];
    const FunctionDescriptor& got = functions[i].descriptor;
    SCOPED_TRACE(want.name);
    char name[24] = {};
    std::memcpy(name, want.name, std::strlen(want.name));
    EXPECT_EQ(std::memcmp(got.name, name, 24), 0);  // NUL-padded to 24 bytes
    EXPECT_EQ(got.minArgs, want.minArgs);
    EXPECT_EQ(got.maxArgs, want.maxArgs);
    EXPECT_EQ(got.resultKind, 66u);
    EXPECT_EQ(got.callWord, want.callWord);
    EXPECT_EQ(got.argWord, want.argWord);
  }
}

TEST_P(PackageTest, RegistrationRequests) {
  const auto& library = load();
  refhost::ActiveHostScope active(host_);
  RegistrationHandler handler = library.module()->registrationHandler;
  HostAllocator* allocator = host_.registrationAllocator();
  const auto before = host_.allocatorStats(allocator);

  // Unknown requests answer null and allocate nothing.
  EXPECT_EQ(handler(0), nullptr);
  EXPECT_EQ(handler(3), nullptr);
  EXPECT_EQ(host_.allocatorStats(allocator).requests, before.requests);

  auto* names = static_cast<RegistrationNameRecord*>(handler(kRequestNames));
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(names->count, GetParam().count);
  EXPECT_EQ(std::memcmp(names->descriptors[0].name, GetParam().rows[0].name,
                        std::strlen(GetParam().rows[0].name)),
            0);
  auto* block = static_cast<void**>(handler(kRequestCallbacks));
  ASSERT_NE(block, nullptr);
  const auto after = host_.allocatorStats(allocator);
  EXPECT_EQ(after.blocksOutstanding, before.blocksOutstanding + 2);
  EXPECT_EQ(after.bytesOutstanding,
            before.bytesOutstanding + 16 + 8 * (static_cast<uint64_t>(GetParam().count) + 1));
  std::set<void*> distinct;
  for (int32_t i = 1; i <= GetParam().count; ++i) {
    ASSERT_NE(block[i], nullptr);
    EXPECT_EQ(block[i], library.functions()[i - 1].callback);
    distinct.insert(block[i]);
  }
  if (GetParam().count == 23) {
    EXPECT_EQ(block[9], block[19]);  // METADATA_GETNASS and METADATA_GETNASN share one callback
    EXPECT_EQ(distinct.size(), 22u);
  } else {
    EXPECT_EQ(distinct.size(), 14u);
  }
  allocator->ops->release(allocator, names);
  allocator->ops->release(allocator, block);
}

TEST_P(PackageTest, RegistrationAllocatorFailureRaisesOutOfMemory) {
  const auto& library = load();
  refhost::ActiveHostScope active(host_);
  RegistrationHandler handler = library.module()->registrationHandler;
  for (int32_t request : {kRequestNames, kRequestCallbacks}) {
    host_.clearRecord();
    host_.failAllocationAt(host_.registrationAllocator(), 1);
    EXPECT_EQ(handler(request), nullptr);
    EXPECT_EQ(host_.record().raisedErrors, std::vector<int32_t>{1016});
  }
}

INSTANTIATE_TEST_SUITE_P(BothLibraries, PackageTest, ::testing::ValuesIn(kPackages),
                         [](const auto& info) { return std::string(info.param.moduleName); });

}  // namespace
