// Parsing of mdhost's command line into one plain record. Nothing here touches the host or the
// repository, so the rules can be tested on their own.
//
// Contract: parseCommandLine never exits and never prints; it returns either a record or an error
// text that names the offending argument, and main() decides what to do with it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace runner {

enum class Command {
  kRun,             // run SCRIPT, standard input, or the interactive loop
  kInspect,         // inspect LIB.so
  kRepoImport,      // repo import SEED.json DB
  kRepoExport,      // repo export DB SEED.json
  kHelp,
  kVersion,         // --version: the tool's version and the packages' version records
  kBrowse,          // show URI, ls TYPE [QUERY], tree, graph URI: operands[0] names which
};

// True for the words of the browsing subcommands (browse_command.h).
bool isBrowseCommand(const std::string& word);

struct CommandLine {
  Command command = Command::kRun;
  std::string repository;               // empty: the bundled sample repository
  std::string packages;                 // empty: next to the program, then the build tree
  std::string optionText;               // the host's startup option text
  std::vector<std::pair<std::string, std::string>> settings;  // --set KEY=VALUE, in order
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> passwordFile;  // --password-file: the password's first line
  std::string logFile;                  // empty: standard error
  std::string tlsCa;                    // --tls-ca: authority of an https:// server's certificate
  bool stats = false;
  bool noRdrand = false;
  bool multiByte = false;
  bool verbose = false;                 // -v: start-up notes (packages registered, repository)
  bool interactive = false;             // -i: the interactive loop after the chunks and script
  bool bail = false;                    // --bail: stop at the first call reporting a failure
  bool readOnly = false;                // --read-only: every change of the repository refused
  bool json = false;                    // --json: --stats, inspect and the browsing as JSON
  std::vector<std::string> chunks;      // -e CHUNK, run in order before the script
  // --fail-allocation K: the K-th allocation request of the run fails (0: none).
  uint64_t failAllocation = 0;
  // --fail-operation NAME[:K]: the K-th call of interface operation NAME fails (empty: none).
  std::string failOperation;
  uint64_t failOperationAt = 0;
  // kRun: the script ("-": standard input; empty: standard input or the interactive loop, unless
  // -e chunks were given, which then stand for the program) and its arguments.
  // kInspect: operands[0] is the library. kRepoImport/kRepoExport: the two paths in order.
  std::string script;
  std::vector<std::string> operands;
  // kRepoImport: --dry-run (check everything, store nothing), and --replace or --merge for a
  // repository that holds something already.
  bool dryRun = false;
  bool replace = false;
  bool merge = false;
};

struct ParseResult {
  std::optional<CommandLine> commandLine;
  std::string error;  // set when commandLine is empty
};

// argv[0] is skipped. Options come before the script or subcommand; everything after the script
// belongs to the script (so `mdhost prog.lua --stats` passes "--stats" to prog.lua).
ParseResult parseCommandLine(const std::vector<std::string>& arguments);

// "unknown option '--name'" (unquoted: "unknown option --name") for a word no command knows; of
// "--name=value" only the name is shown, since the value of a misspelled --password must not
// show up on the screen.
std::string unknownOption(const std::string& word, bool quoted = true);

// The usage text printed by --help (it names SCRIPT; scripts/run-main.sh looks for that word).
std::string usageText();

}  // namespace runner
