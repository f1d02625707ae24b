// Golden-output tests of mdhost: each golden/<area>/<case>.lua runs through the real program and
// its transcript (standard output, then standard error and the exit status when there are any)
// must equal <case>.out byte for byte.
//
// Directives on the script's leading lines:
//   --! args: WORDS      options given to mdhost before the script (split at blanks)
//   --! after: WORDS     the script's own arguments (arg[1], ...)
//   --! stdin            the script is piped to mdhost's standard input instead of named
//   --! before: WORDS    a preliminary mdhost command (e.g. repo import ...); its output is part
//                        of the transcript; several lines run in order
//   --! runs: N          run the script N times in a row (state kept in files must survive)
//   --! log: stderr      keep the host log on standard error (default: a file nobody reads)
// In WORDS, {tmp} is a fresh directory of this case and {source} the source tree; in the
// transcript both are written back as {tmp} and {source}, and the time of an import summary
// ("in 0.17 s") as "in {seconds} s", so expected files do not depend on where the tree or the
// temporary directory is, nor on how fast the machine is.
//
// RUX_UPDATE_GOLDEN=1 rewrites the .out files from the current output; review the diff.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kGoldenDir = fs::path(RUX_SOURCE_DIR) / "tests" / "runner" / "golden";
const fs::path kMdhost = fs::path(RUX_BUILD_DIR) / "bin" / "mdhost";

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string shellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string substitute(std::string word, const fs::path& tmp) {
  const std::pair<std::string, std::string> replacements[] = {
      {"{tmp}", tmp.string()}, {"{source}", RUX_SOURCE_DIR}};
  for (const auto& [from, to] : replacements) {
    for (size_t at = word.find(from); at != std::string::npos; at = word.find(from, at + to.size())) {
      word.replace(at, from.size(), to);
    }
  }
  return word;
}

std::string unsubstitute(std::string text, const fs::path& tmp) {
  const std::pair<std::string, std::string> replacements[] = {
      {tmp.string(), "{tmp}"}, {RUX_SOURCE_DIR, "{source}"}};
  for (const auto& [from, to] : replacements) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }
  static const std::regex kSeconds(" in [0-9]+\\.[0-9]+ s\n");
  return std::regex_replace(text, kSeconds, " in {seconds} s\n");
}

std::vector<std::string> splitWords(const std::string& text, const fs::path& tmp) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(substitute(word, tmp));
  return words;
}

struct Directives {
  std::vector<std::string> arguments;
  std::vector<std::string> scriptArguments;
  std::vector<std::vector<std::string>> before;
  bool viaStandardInput = false;
  bool logToStandardError = false;
  int runs = 1;
};

Directives readDirectives(const fs::path& script, const fs::path& tmp) {
  Directives directives;
  std::ifstream in(script);
  for (std::string line; std::getline(in, line) && line.rfind("--!", 0) == 0;) {
    const std::string body = line.substr(3);
    const auto colon = body.find(':');
    std::string key = body.substr(0, colon);
    key.erase(0, key.find_first_not_of(' '));
    key.erase(key.find_last_not_of(' ') + 1);
    const std::string value = colon == std::string::npos ? "" : body.substr(colon + 1);
    if (key == "args") directives.arguments = splitWords(value, tmp);
    if (key == "after") directives.scriptArguments = splitWords(value, tmp);
    if (key == "before") directives.before.push_back(splitWords(value, tmp));
    if (key == "stdin") directives.viaStandardInput = true;
    if (key == "runs") directives.runs = std::stoi(value);
    if (key == "log") directives.logToStandardError = value.find("stderr") != std::string::npos;
  }
  return directives;
}

// Runs mdhost in the script's folder (so error messages name the script as "case.lua") and
// returns its transcript.
std::string runMdhost(const fs::path& directory, const std::vector<std::string>& arguments,
                      const std::string& standardInput, const fs::path& tmp) {
  std::string command = "cd " + shellQuote(directory.string()) + " && " +
                        shellQuote(kMdhost.string());
  for (const auto& argument : arguments) command += " " + shellQuote(argument);
  command += standardInput.empty() ? " </dev/null" : " <" + shellQuote(standardInput);
  command += " >" + shellQuote((tmp / "stdout").string());
  command += " 2>" + shellQuote((tmp / "stderr").string());
  const int status = std::system(command.c_str());
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  std::string transcript = readFile(tmp / "stdout");
  const std::string errors = readFile(tmp / "stderr");
  if (!errors.empty()) transcript += "--- stderr ---\n" + errors;
  if (exitStatus != 0) transcript += "--- exit status " + std::to_string(exitStatus) + " ---\n";
  return transcript;
}

class GoldenTest : public testing::TestWithParam<fs::path> {};

TEST_P(GoldenTest, TranscriptMatches) {
  const fs::path script = GetParam();
  const fs::path tmp = fs::temp_directory_path() /
                       ("mdhost-golden-" + std::to_string(::getpid()) + "-" +
                        script.parent_path().filename().string() + "-" +
                        script.stem().string());
  fs::remove_all(tmp);
  fs::create_directories(tmp);
  const Directives directives = readDirectives(script, tmp);

  std::string transcript;
  for (const auto& command : directives.before) {
    transcript += runMdhost(script.parent_path(), command, "", tmp);
  }
  std::vector<std::string> arguments = directives.arguments;
  if (!directives.logToStandardError) {
    arguments.insert(arguments.begin(), {"--log", (tmp / "host.log").string()});
  }
  std::string standardInput;
  if (directives.viaStandardInput) {
    standardInput = script.string();
  } else {
    arguments.push_back(script.filename().string());
    arguments.insert(arguments.end(), directives.scriptArguments.begin(),
                     directives.scriptArguments.end());
  }
  for (int run = 1; run <= directives.runs; ++run) {
    if (directives.runs > 1) transcript += "=== run " + std::to_string(run) + " ===\n";
    transcript += runMdhost(script.parent_path(), arguments, standardInput, tmp);
  }

  transcript = unsubstitute(transcript, tmp);

  fs::path expectedPath = script;
  expectedPath.replace_extension(".out");
  if (std::getenv("RUX_UPDATE_GOLDEN") != nullptr) {
    std::ofstream(expectedPath, std::ios::binary) << transcript;
  }
  ASSERT_TRUE(fs::exists(expectedPath)) << "no expected output " << expectedPath;
  EXPECT_EQ(readFile(expectedPath), transcript) << "script " << script;
  fs::remove_all(tmp);
}

std::vector<fs::path> goldenScripts() {
  std::vector<fs::path> scripts;
  for (const auto& entry : fs::recursive_directory_iterator(kGoldenDir)) {
    if (entry.path().extension() == ".lua") scripts.push_back(entry.path());
  }
  std::sort(scripts.begin(), scripts.end());
  return scripts;
}

std::string caseName(const testing::TestParamInfo<fs::path>& info) {
  std::string name = info.param.parent_path().filename().string() + "_" +
                     info.param.stem().string();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Scripts, GoldenTest, testing::ValuesIn(goldenScripts()), caseName);

}  // namespace
