// docs/functions.md against the packages' registration tables, as the host reads them: every
// registered function has an entry, in registration order and under its package, whose
// "Registered:" line gives its argument counts and kinds, and whose signature names as many
// arguments as the function takes. So the reference cannot drift from what is registered,
// whichever functions are built yet.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "tests/runner/mdhost_process.h"

namespace {

namespace fs = std::filesystem;

struct Entry {
  std::string package;  // the "## " section it is under
  std::string name;
  std::string text;     // everything up to the next heading, blanks and line ends collapsed
};

std::vector<Entry> readEntries() {
  std::istringstream in(mdhost_test::readFile(fs::path(RUX_SOURCE_DIR) / "docs" / "functions.md"));
  std::vector<Entry> entries;
  std::string package;
  bool inEntry = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) {
      package = line.substr(3);
      inEntry = false;
    } else if (line.rfind("### ", 0) == 0) {
      entries.push_back({package, line.substr(4), ""});
      inEntry = true;
    } else if (inEntry) {
      entries.back().text += " " + line;
    }
  }
  for (Entry& entry : entries) {
    entry.text = std::regex_replace(entry.text, std::regex("\\s+"), " ");
  }
  return entries;
}

// The kinds of the argument word, from argument 1 on, up to the first empty group.
std::string kinds(uint32_t argWord) {
  std::string text;
  for (int i = 0; i < 10; ++i) {
    const uint32_t kind = (argWord >> (3 * i)) & 7u;
    if (kind == 0) break;
    text += (text.empty() ? "" : " ") + std::to_string(kind);
  }
  return text.empty() ? "none" : text;
}

// Arguments named in "`NAME(a, b [, c [, d]])`": all of them, and those before the first "[".
struct Signature {
  int named = 0;
  int required = 0;
  bool open = false;  // ends in "..."
};

std::optional<Signature> signatureOf(const Entry& entry) {
  const std::string start = "`" + entry.name + "(";
  const size_t at = entry.text.find(start);
  if (at == std::string::npos) return std::nullopt;
  const size_t end = entry.text.find(")`", at);
  if (end == std::string::npos) return std::nullopt;
  const std::string list = entry.text.substr(at + start.size(), end - at - start.size());
  Signature signature;
  bool optional = false;
  std::string word;
  const auto finish = [&] {
    if (word == "...") signature.open = true;
    else if (!word.empty()) {
      ++signature.named;
      if (!optional) ++signature.required;
    }
    word.clear();
  };
  for (char c : list) {
    if (c == '[') optional = true;
    if (c == ',' || c == '[' || c == ']' || c == ' ') {
      finish();
    } else {
      word += c;
    }
  }
  finish();
  return signature;
}

TEST(FunctionReference, MatchesTheRegistrationTables) {
  const std::vector<Entry> entries = readEntries();
  refhost::HostConfig config;
  config.logFile = nullptr;
  refhost::ReferenceHost host(config);
  size_t index = 0;
  for (const char* package : {"objfuncs", "secfuncs"}) {
    const refhost::LoadedLibrary& library =
        host.load((fs::path(RUX_BUILD_DIR) / "lib" / (std::string(package) + ".so")).string());
    for (const refhost::LoadedFunction& function : library.functions()) {
      SCOPED_TRACE(function.name);
      ASSERT_LT(index, entries.size()) << "docs/functions.md has no entry for " << function.name;
      const Entry& entry = entries[index++];
      EXPECT_EQ(entry.name, function.name) << "entry " << index << " is out of order";
      EXPECT_EQ(entry.package, package);

      const uint16_t max = function.descriptor.maxArgs;
      const std::string registered =
          "Registered: min " + std::to_string(function.descriptor.minArgs) + ", max " +
          (max == kNoUpperLimit ? std::string("none") : std::to_string(max)) + ", kinds " +
          kinds(function.descriptor.argWord) + ".";
      EXPECT_NE(entry.text.find(registered), std::string::npos)
          << "expected '" << registered << "' in: " << entry.text;

      const std::optional<Signature> signature = signatureOf(entry);
      ASSERT_TRUE(signature) << "no signature `" << function.name << "(...)` in: " << entry.text;
      EXPECT_EQ(signature->required, function.descriptor.minArgs);
      if (max == kNoUpperLimit) {
        EXPECT_TRUE(signature->open);
      } else {
        EXPECT_FALSE(signature->open);
        EXPECT_EQ(signature->named, max);
      }
    }
  }
  EXPECT_EQ(index, 37u);
  EXPECT_EQ(entries.size(), index) << "docs/functions.md describes functions nobody registers";
}

}  // namespace
