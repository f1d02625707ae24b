// Every example in the documentation runs as written and shows what the page says it shows.
//
// In README.md and docs/*.md:
//   - a ```lua block whose first line is "-- NAME.lua", or any block whose opening fence names
//     a file after the language ("```json seed.json"), is a file a later example uses: it is
//     written under that name into the page's work folder;
//   - a ```sh block with lines starting "$ " holds examples: each such line is a command, run by
//     bash in the page's work folder, and the lines after it, up to the next command or the end
//     of the block, are its output (standard output and standard error as a terminal shows
//     them). A command whose output is not shown ends its line with "# output not shown".
//   - a ```sh block that names build/bin/ without any "$ " line is an error: it would be an
//     example that nobody runs; so is a file a page writes that none of its commands names;
//   - every other ```lua block is a program of its own: it runs through mdhost on the sample
//     repository and must end with status 0 and no error;
//   - every other ```json block must be JSON (a fragment of members, `"key": ...`, inside an
//     object's braces).
// The work folder holds `build` (the build tree) and `examples` (the source tree's examples), so
// "build/bin/mdhost examples/tour.lua" works as it does in a checkout. Commands of one page run
// in order in one folder, so a page may import a repository and use it below. The time of an
// import summary ("in 0.17 s") compares as any time.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/runner/mdhost_process.h"

namespace {

namespace fs = std::filesystem;
using mdhost_test::readFile;
using mdhost_test::TemporaryFolder;

struct Example {
  int line = 0;  // of the command in the page
  std::string command;
  std::string output;
};

struct Block {
  int line = 0;  // of the opening fence
  std::string text;
};

struct Page {
  std::vector<std::pair<std::string, std::string>> files;  // name, text
  std::vector<Example> examples;
  std::vector<int> unrunBlocks;  // lines of sh blocks naming build/bin/ without "$ "
  std::vector<Block> programs;   // lua blocks that are no file
  std::vector<Block> json;       // json blocks that are no file
};

Page readPage(const fs::path& path) {
  std::istringstream in(readFile(path));
  Page page;
  std::string fence;  // the language of the open block; empty outside blocks
  bool inBlock = false;
  std::vector<std::string> block;
  int blockLine = 0;
  int lineNumber = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNumber;
    if (line.rfind("```", 0) == 0) {
      if (!inBlock) {
        inBlock = true;
        fence = line.substr(3);
        block.clear();
        blockLine = lineNumber;
        continue;
      }
      inBlock = false;
      const size_t blank = fence.find(' ');
      const std::string language = fence.substr(0, blank);
      const std::string named = blank == std::string::npos ? "" : fence.substr(blank + 1);
      if (!named.empty()) {
        std::string text;
        for (const std::string& l : block) text += l + "\n";
        page.files.emplace_back(named, text);
      } else if (language == "lua" && !block.empty() && block[0].rfind("-- ", 0) == 0 &&
          block[0].size() > 7 && block[0].substr(block[0].size() - 4) == ".lua") {
        std::string text;
        for (const std::string& l : block) text += l + "\n";
        page.files.emplace_back(block[0].substr(3), text);
      } else if (language == "lua" || language == "json") {
        std::string text;
        for (const std::string& l : block) text += l + "\n";
        (language == "lua" ? page.programs : page.json).push_back({blockLine, text});
      } else if (language == "sh") {
        bool any = false;
        for (size_t i = 0; i < block.size(); ++i) {
          if (block[i].rfind("$ ", 0) == 0) {
            any = true;
            page.examples.push_back({blockLine + 1 + static_cast<int>(i), block[i].substr(2), ""});
          } else if (any) {
            page.examples.back().output += block[i] + "\n";
          }
        }
        bool namesBuild = false;
        for (const std::string& l : block) namesBuild |= l.find("build/bin/") != std::string::npos;
        if (namesBuild && !any) page.unrunBlocks.push_back(blockLine);
      }
      continue;
    }
    if (inBlock) block.push_back(line);
  }
  return page;
}

std::string normalise(const std::string& text) {
  static const std::regex kSeconds(" in [0-9]+\\.[0-9]+ s\n");
  return std::regex_replace(text, kSeconds, " in {seconds} s\n");
}

std::vector<fs::path> pages() {
  std::vector<fs::path> found{fs::path(RUX_SOURCE_DIR) / "README.md"};
  for (const auto& entry : fs::directory_iterator(fs::path(RUX_SOURCE_DIR) / "docs")) {
    if (entry.path().extension() == ".md") found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

class DocumentedExamples : public testing::TestWithParam<fs::path> {};

TEST_P(DocumentedExamples, RunAsWritten) {
  const fs::path path = GetParam();
  const Page page = readPage(path);
  for (int line : page.unrunBlocks) {
    ADD_FAILURE() << path.filename() << ":" << line
                  << ": a shell block names build/bin/ but has no \"$ \" example line";
  }
  TemporaryFolder work("mdhost-docs-" + path.stem().string());
  fs::create_directory_symlink(RUX_BUILD_DIR, work / "build");
  fs::create_directory_symlink(fs::path(RUX_SOURCE_DIR) / "examples", work / "examples");
  for (const auto& [name, text] : page.files) std::ofstream(work / name) << text;

  for (const auto& [name, text] : page.files) {
    bool used = false;
    for (const Example& example : page.examples) used |= example.command.find(name) != std::string::npos;
    EXPECT_TRUE(used) << path.filename() << ": the file " << name
                      << " is written but no command of the page uses it";
  }
  for (const Block& block : page.json) {
    const bool fragment = block.text.find_first_not_of(" \n") != std::string::npos &&
                          block.text[block.text.find_first_not_of(" \n")] == '"';
    const std::string document = fragment ? "{" + block.text + "}" : block.text;
    EXPECT_TRUE(nlohmann::json::accept(document))
        << path.filename() << ":" << block.line << ": the JSON block is no JSON";
  }
  for (size_t i = 0; i < page.programs.size(); ++i) {
    const Block& block = page.programs[i];
    const std::string name = ".block" + std::to_string(i) + ".lua";
    std::ofstream(work / name) << block.text;
    const std::string command = "cd '" + work.path().string() + "' && build/bin/mdhost " + name +
                                " > .output 2>&1";
    const int status = std::system(command.c_str());
    const std::string output = readFile(work / ".output");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << path.filename() << ":" << block.line << ": the Lua block does not run:\n" << output;
    EXPECT_EQ(output.find("mdhost: "), std::string::npos)
        << path.filename() << ":" << block.line << ":\n" << output;
  }
  for (const Example& example : page.examples) {
    const bool shown = example.command.find("# output not shown") == std::string::npos;
    const std::string command = "cd '" + work.path().string() + "' && { " + example.command +
                                "\n} > '" + (work / ".output").string() + "' 2>&1";
    const int status = std::system(command.c_str());
    const std::string output = readFile(work / ".output");
    EXPECT_TRUE(WIFEXITED(status)) << path.filename() << ":" << example.line;
    if (shown) {
      EXPECT_EQ(normalise(output), normalise(example.output))
          << path.filename() << ":" << example.line << ": $ " << example.command;
    }
  }
}

std::string pageName(const testing::TestParamInfo<fs::path>& info) {
  std::string name = info.param.stem().string();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Pages, DocumentedExamples, testing::ValuesIn(pages()), pageName);

}  // namespace
