#include "runner/command_line.h"

namespace runner {
namespace {

// Options that take a value, written either "--name VALUE" or "--name=VALUE".
bool takesValue(const std::string& name) {
  return name == "--repository" || name == "--packages" || name == "--option" ||
         name == "--set" || name == "--user" || name == "--password" ||
         name == "--password-file" || name == "--log" || name == "-e" ||
         name == "--fail-allocation" || name == "--fail-operation" || name == "--tls-ca";
}

// Options that stand alone; true when `name` is one (and the record was updated).
bool applyFlag(CommandLine& line, const std::string& name) {
  if (name == "--stats") {
    line.stats = true;
  } else if (name == "--no-rdrand") {
    line.noRdrand = true;
  } else if (name == "--multibyte") {
    line.multiByte = true;
  } else if (name == "-v" || name == "--verbose") {
    line.verbose = true;
  } else if (name == "-i") {
    line.interactive = true;
  } else if (name == "--bail") {
    line.bail = true;
  } else if (name == "--read-only") {
    line.readOnly = true;
  } else if (name == "--json") {
    line.json = true;
  } else {
    return false;
  }
  return true;
}

// A count of 1 or more in decimal digits, or 0 when the text is none.
uint64_t positiveCount(const std::string& text) {
  if (text.empty() || text.size() > 18) return 0;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

std::string applyValueOption(CommandLine& line, const std::string& name, const std::string& value) {
  if (name == "--repository") {
    line.repository = value;
  } else if (name == "--packages") {
    line.packages = value;
  } else if (name == "--option") {
    line.optionText = value;
  } else if (name == "--set") {
    const auto equals = value.find('=');
    if (equals == std::string::npos || equals == 0) {
      // The value is not repeated: a setting may carry a secret.
      return "--set expects KEY=VALUE (a key, '=' and the value)";
    }
    line.settings.emplace_back(value.substr(0, equals), value.substr(equals + 1));
  } else if (name == "--user") {
    line.user = value;
  } else if (name == "--password") {
    line.password = value;
  } else if (name == "--password-file") {
    line.passwordFile = value;
  } else if (name == "--log") {
    line.logFile = value;
  } else if (name == "--tls-ca") {
    line.tlsCa = value;
  } else if (name == "-e") {
    line.chunks.push_back(value);
  } else if (name == "--fail-allocation") {
    line.failAllocation = positiveCount(value);
    if (line.failAllocation == 0) return "--fail-allocation expects a count of 1 or more";
  } else if (name == "--fail-operation") {
    const auto colon = value.find(':');
    line.failOperation = value.substr(0, colon);
    line.failOperationAt = colon == std::string::npos ? 1 : positiveCount(value.substr(colon + 1));
    if (line.failOperation.empty() || line.failOperationAt == 0) {
      return "--fail-operation expects NAME or NAME:K (an operation and a count of 1 or more)";
    }
  }
  return {};
}

}  // namespace

bool isBrowseCommand(const std::string& word) {
  return word == "show" || word == "ls" || word == "tree" || word == "graph";
}

ParseResult parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  size_t i = 1;
  for (; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      ++i;
      break;
    }
    if (argument.size() < 2 || argument[0] != '-' || argument == "-") break;
    std::string name = argument;
    std::optional<std::string> inlineValue;
    if (const auto equals = argument.find('='); argument.rfind("--", 0) == 0 &&
                                                equals != std::string::npos) {
      name = argument.substr(0, equals);
      inlineValue = argument.substr(equals + 1);
    }
    if (name == "--help" || name == "-h") {
      line.command = Command::kHelp;
      return {line, {}};
    }
    if (name == "--version") {
      line.command = Command::kVersion;
      continue;
    }
    if (applyFlag(line, name)) {
      if (inlineValue) return {std::nullopt, "option " + name + " takes no value"};
      continue;
    }
    if (!takesValue(name)) {
      return {std::nullopt, unknownOption(argument)};
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else {
      if (i + 1 >= arguments.size()) return {std::nullopt, "option " + name + " needs a value"};
      value = arguments[++i];
    }
    if (std::string error = applyValueOption(line, name, value); !error.empty()) {
      return {std::nullopt, error};
    }
  }
  if (line.password && !line.user) {
    return {std::nullopt, "--password given without --user"};
  }
  if (line.passwordFile && !line.user) {
    return {std::nullopt, "--password-file given without --user"};
  }
  if (line.passwordFile && line.password) {
    return {std::nullopt, "--password and --password-file both given; use one"};
  }

  std::vector<std::string> rest(arguments.begin() + static_cast<long>(std::min(i, arguments.size())),
                                arguments.end());
  if (line.command == Command::kVersion) {
    if (!rest.empty()) return {std::nullopt, "--version takes no script or subcommand"};
    return {line, {}};
  }
  const bool runOptions = !line.chunks.empty() || line.interactive;
  if (runOptions && !rest.empty() &&
      (rest[0] == "inspect" || rest[0] == "repo" || isBrowseCommand(rest[0]))) {
    return {std::nullopt, "-e and -i run a program; they do not go with '" + rest[0] + "'"};
  }
  if (!rest.empty() && rest[0] == "inspect") {
    if (rest.size() == 3 && rest[2] == "--json") {
      line.json = true;
      rest.pop_back();
    }
    if (rest.size() != 2) return {std::nullopt, "usage: mdhost inspect LIB.so [--json]"};
    line.command = Command::kInspect;
    line.operands = {rest[1]};
    return {line, {}};
  }
  if (!rest.empty() && isBrowseCommand(rest[0])) {
    // The subcommand checks its own operands (browse_command.cpp).
    line.command = Command::kBrowse;
    line.operands = rest;
    return {line, {}};
  }
  if (!rest.empty() && rest[0] == "repo") {
    if (rest.size() >= 2 && rest[1] == "import") {
      // The import's own options come before its two paths, in any order.
      size_t at = 2;
      for (; at < rest.size() && rest[at].rfind("--", 0) == 0; ++at) {
        if (rest[at] == "--dry-run") {
          line.dryRun = true;
        } else if (rest[at] == "--replace") {
          line.replace = true;
        } else if (rest[at] == "--merge") {
          line.merge = true;
        } else {
          return {std::nullopt, "repo import: " + unknownOption(rest[at]) +
                                    " (known: --dry-run, --replace, --merge)"};
        }
      }
      if (line.replace && line.merge) {
        return {std::nullopt, "repo import: --replace and --merge both given; use one"};
      }
      rest.erase(rest.begin() + 2, rest.begin() + static_cast<long>(at));
    }
    if (rest.size() == 4 && rest[1] == "import") {
      line.command = Command::kRepoImport;
    } else if (rest.size() == 4 && rest[1] == "export") {
      line.command = Command::kRepoExport;
    } else {
      return {std::nullopt,
              "usage: mdhost repo import [--dry-run] [--replace|--merge] SEED.json|- DB | "
              "mdhost repo export DB SEED.json|-"};
    }
    line.operands = {rest[2], rest[3]};
    return {line, {}};
  }
  if (!rest.empty()) {
    line.script = rest[0];
    line.operands.assign(rest.begin() + 1, rest.end());
  }
  return {line, {}};
}

std::string unknownOption(const std::string& word, bool quoted) {
  const size_t equals = word.find('=');
  const std::string quote = quoted ? "'" : "";
  std::string text = "unknown option " + quote + word.substr(0, equals) + quote;
  if (equals != std::string::npos) text += " (its value is not shown)";
  return text;
}

std::string usageText() {
  return R"(usage: mdhost [OPTIONS] [SCRIPT.lua [ARGS...]]
       mdhost inspect LIB.so [--json]
       mdhost repo import [--dry-run] [--replace|--merge] SEED.json|- DB
       mdhost repo export DB SEED.json|-
       mdhost [OPTIONS] show URI [--json] | ls TYPE [QUERY] [--json] | tree [--json]
       mdhost [OPTIONS] graph URI [--dot]
       mdhost access [--repository FILE] [--user NAME] [--identity NAME] OBJECT PERMISSION

Runs a Lua program SCRIPT against the function packages objfuncs.so and secfuncs.so, loaded
by the reference host, and a metadata repository. Without SCRIPT and -e, mdhost reads a program
from standard input, or opens an interactive loop when standard input is a terminal. A SCRIPT of
"-" reads standard input. ARGS are given to the program in the table 'arg'.

Options:
  -e CHUNK            run the Lua text CHUNK (repeatable; in order, before SCRIPT)
  -i                  open the interactive loop after the chunks and SCRIPT have run
  -v, --verbose       print start-up notes: packages registered, repository opened
  --bail              stop at the first package function call that reports a failure
                      status (SYSRC not 0), and at the first error of -i's lines; exit 4
  --repository FILE   a .db SQLite repository file (opened; created, with a note, when
                      missing), a PostgreSQL database postgresql://USER@HOST[:PORT]/DB,
                      a .json seed file loaded into memory ("-": standard input),
                      or https://HOST:PORT, an mdserver (see docs/server.md);
                      default: the bundled sample repository
  --read-only         refuse every change of the repository (status 0x80172152)
  --packages DIR      where objfuncs.so and secfuncs.so are; default: next to mdhost,
                      then the build tree's lib directory
  --option TEXT       the host's startup option text, e.g. "-rngseed=5"
  --set KEY=VALUE     a host name-value setting (repeatable), e.g. OSENV.RUX_RNG_METHOD=PCG
  --user NAME         the user of the repository connection
  --password TEXT     the password of the repository connection (visible to every user of
                      the machine: prefer the next three)
  --password-file F   read the password from the first line of file F
                      (otherwise MDHOST_PASSWORD, else a prompt when on a terminal)
  --log FILE          write the host log to FILE instead of standard error
  --tls-ca FILE       the authority an https:// server's certificate must come from
                      (otherwise MDHOST_TLS_CA, else the system's certificate store)
  --stats             at exit, print calls per interface operation and pool blocks outstanding
  --json              --stats, inspect, show, ls and tree write JSON
  --no-rdrand         the host reports a processor without RDRAND
  --multibyte         the host runs in multi-byte mode
  --version           print mdhost's version and the packages' version records
  --fail-allocation K the K-th allocation request of the run (any host allocator or
                      interface pool) fails
  --fail-operation NAME[:K]
                      the K-th call (default: the first) of interface operation NAME
                      fails with status 0x801720E3
  --help              this text

Subcommands:
  inspect LIB.so [--json]     print a package's image information, module record,
                              version record and function descriptors
  repo import SEED.json DB    load a seed file ("-": standard input) into a SQLite
                              repository file, a PostgreSQL database or an https://
                              server (as --user, who needs Administer everywhere)
    --dry-run                 check the whole seed and list every problem, change nothing
    --replace                 empty the repository first
    --merge                   update objects and repositories matched by identifier,
                              add the rest
  repo export DB SEED.json    write a repository file, database or https:// server out
                              as a seed file ("-": standard output)
  show URI [--json]           the first object the URI matches: attributes, properties,
                              associations
  ls TYPE [QUERY] [--json]    the objects of TYPE (for which the condition QUERY holds)
  tree [--json]               the folders (Tree objects) and what they hold
  graph URI [--dot]           the object and its associated objects (Graphviz with --dot)
  access OBJECT PERMISSION    whether the user (or --identity) is granted PERMISSION on
                              OBJECT, and the entries that decided; its own options:
                              mdhost access --help
The browsing subcommands run as a program would, as --user when given: an object the user
may not read does not appear.

Exit status: 0 success; 1 the program raised an error or a subcommand failed on what it read
(mdhost access: the permission is denied); 2 a usage error or a file that cannot be opened (the
message names the file and the reason); 3 the run's login failed; 4 --bail stopped the program.
With -i, an error in one of the loop's lines is reported and the loop goes on, as lua -i does;
with --bail the first one ends the run (exit 1).

See docs/mdhost.md for the program's view: char(), missing, symget(), sysrc(), hostlog(),
calls(), pool(), newsession{}, help(), describe(), objects() and the package functions;
docs/functions.md for the functions; docs/sample.md for the sample repository.
)";
}

}  // namespace runner
