// The command-line rules users and scripts rely on: where options stop and the program's own
// arguments begin, the subcommands, and clear errors that name the offending argument.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "runner/command_line.h"
#include "runner/password_source.h"

namespace runner {
namespace {

ParseResult parse(std::vector<std::string> words) {
  words.insert(words.begin(), "mdhost");
  return parseCommandLine(words);
}

TEST(CommandLine, OptionsThenScriptThenScriptArguments) {
  const ParseResult result =
      parse({"--repository", "x.db", "--option=-rngseed=5", "--set", "A.B=1", "--set=C=",
             "--stats", "prog.lua", "--stats", "two"});
  ASSERT_TRUE(result.commandLine) << result.error;
  const CommandLine& line = *result.commandLine;
  EXPECT_EQ(line.command, Command::kRun);
  EXPECT_EQ(line.repository, "x.db");
  EXPECT_EQ(line.optionText, "-rngseed=5");
  ASSERT_EQ(line.settings.size(), 2u);
  EXPECT_EQ(line.settings[0], (std::pair<std::string, std::string>{"A.B", "1"}));
  EXPECT_EQ(line.settings[1], (std::pair<std::string, std::string>{"C", ""}));
  EXPECT_TRUE(line.stats);
  EXPECT_EQ(line.script, "prog.lua");
  // Words after the script belong to the script, even when they look like options.
  EXPECT_EQ(line.operands, (std::vector<std::string>{"--stats", "two"}));
}

TEST(CommandLine, NoScriptMeansStandardInputOrInteractive) {
  const ParseResult result = parse({"--no-rdrand", "--multibyte"});
  ASSERT_TRUE(result.commandLine);
  EXPECT_TRUE(result.commandLine->script.empty());
  EXPECT_TRUE(result.commandLine->noRdrand);
  EXPECT_TRUE(result.commandLine->multiByte);
  EXPECT_EQ(parse({"-"}).commandLine->script, "-");
  EXPECT_EQ(parse({"--", "--odd-name.lua"}).commandLine->script, "--odd-name.lua");
}

TEST(CommandLine, Subcommands) {
  const ParseResult inspect = parse({"inspect", "lib/objfuncs.so"});
  ASSERT_TRUE(inspect.commandLine);
  EXPECT_EQ(inspect.commandLine->command, Command::kInspect);
  EXPECT_EQ(inspect.commandLine->operands, (std::vector<std::string>{"lib/objfuncs.so"}));

  const ParseResult import = parse({"repo", "import", "seed.json", "x.db"});
  ASSERT_TRUE(import.commandLine);
  EXPECT_EQ(import.commandLine->command, Command::kRepoImport);
  EXPECT_EQ(import.commandLine->operands, (std::vector<std::string>{"seed.json", "x.db"}));

  const ParseResult exported = parse({"repo", "export", "x.db", "out.json"});
  ASSERT_TRUE(exported.commandLine);
  EXPECT_EQ(exported.commandLine->command, Command::kRepoExport);

  EXPECT_FALSE(parse({"inspect"}).commandLine);
  EXPECT_FALSE(parse({"repo", "import", "seed.json"}).commandLine);
  EXPECT_FALSE(parse({"repo", "merge", "a", "b"}).commandLine);
}

TEST(CommandLine, ErrorsNameTheArgument) {
  EXPECT_NE(parse({"--frobnicate", "x.lua"}).error.find("--frobnicate"), std::string::npos);
  EXPECT_NE(parse({"--log"}).error.find("--log needs a value"), std::string::npos);
  EXPECT_NE(parse({"--set", "NOEQUALS"}).error.find("NOEQUALS"), std::string::npos);
  EXPECT_NE(parse({"--set", "=v"}).error.find("KEY=VALUE"), std::string::npos);
  EXPECT_NE(parse({"--stats=yes"}).error.find("takes no value"), std::string::npos);
  EXPECT_NE(parse({"--password", "pw", "x.lua"}).error.find("without --user"), std::string::npos);
  EXPECT_NE(parse({"--password-file", "f", "x.lua"}).error.find("without --user"),
            std::string::npos);
  EXPECT_NE(parse({"--user", "u", "--password", "p", "--password-file", "f"}).error.find("both"),
            std::string::npos);
}

TEST(CommandLine, PasswordSourcesInOrder) {
  const std::string file = ::testing::TempDir() + "/command_line_password";
  std::ofstream(file) << "from-file\r\nsecond line\n";
  ParseResult fromFile = parse({"--user", "u", "--password-file", file, "x.lua"});
  ASSERT_TRUE(fromFile.commandLine);
  std::string error;
  EXPECT_EQ(resolvePassword(*fromFile.commandLine, &error), "from-file");
  ParseResult fromOption = parse({"--user", "u", "--password=given", "x.lua"});
  ASSERT_TRUE(fromOption.commandLine);
  ::setenv(kPasswordVariable, "from-environment", 1);
  EXPECT_EQ(resolvePassword(*fromOption.commandLine, &error), "given");
  ParseResult userOnly = parse({"--user", "u", "x.lua"});
  EXPECT_EQ(resolvePassword(*userOnly.commandLine, &error), "from-environment");
  ::unsetenv(kPasswordVariable);
  ParseResult missing = parse({"--user", "u", "--password-file", file + ".gone", "x.lua"});
  EXPECT_FALSE(resolvePassword(*missing.commandLine, &error));
  EXPECT_NE(error.find(".gone"), std::string::npos);
  std::remove(file.c_str());
}

TEST(CommandLine, HelpWinsAndUsageNamesScript) {
  const ParseResult result = parse({"--repository", "x.db", "--help", "--bogus"});
  ASSERT_TRUE(result.commandLine);
  EXPECT_EQ(result.commandLine->command, Command::kHelp);
  // scripts/run-main.sh decides that the runner exists by this word.
  EXPECT_NE(usageText().find("SCRIPT"), std::string::npos);
}

// The interpreter-style flags: chunks keep their order and may repeat, flags stop at the script.
TEST(CommandLine, ChunksInteractiveVerboseAndVersion) {
  const ParseResult result =
      parse({"-v", "-e", "x = 1", "-i", "-e", "print(x)", "--verbose", "prog.lua", "-e", "y"});
  ASSERT_TRUE(result.commandLine) << result.error;
  const CommandLine& line = *result.commandLine;
  EXPECT_EQ(line.command, Command::kRun);
  EXPECT_EQ(line.chunks, (std::vector<std::string>{"x = 1", "print(x)"}));
  EXPECT_TRUE(line.interactive);
  EXPECT_TRUE(line.verbose);
  EXPECT_EQ(line.script, "prog.lua");
  EXPECT_EQ(line.operands, (std::vector<std::string>{"-e", "y"}));

  EXPECT_FALSE(parse({"-e"}).commandLine);
  EXPECT_NE(parse({"-v=1"}).error.find("unknown option"), std::string::npos);
  EXPECT_NE(parse({"-e", "x", "inspect", "a.so"}).error.find("inspect"), std::string::npos);
  EXPECT_NE(parse({"-i", "repo", "export", "a.db", "-"}).error.find("repo"), std::string::npos);

  const ParseResult version = parse({"--packages", "lib", "--version"});
  ASSERT_TRUE(version.commandLine);
  EXPECT_EQ(version.commandLine->command, Command::kVersion);
  EXPECT_EQ(version.commandLine->packages, "lib");
  EXPECT_FALSE(parse({"--version", "prog.lua"}).commandLine);

  // "-" is an operand of the repo subcommands, not an option.
  const ParseResult streams = parse({"repo", "import", "-", "x.db"});
  ASSERT_TRUE(streams.commandLine);
  EXPECT_EQ(streams.commandLine->operands, (std::vector<std::string>{"-", "x.db"}));
}

}  // namespace
}  // namespace runner
