// mdhost: runs Lua programs against the function packages, loaded by the reference host, and a
// metadata repository. See usageText() and docs/mdhost.md.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "runner/access_command.h"
#include "runner/browse_command.h"
#include "runner/command_line.h"
#include "runner/inspect.h"
#include "runner/program_session.h"
#include "runner/remote_seed_commands.h"
#include "runner/repository_commands.h"
#include "runner/security_queries.h"
#include "runner/version_report.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv, argv + argc);
  if (arguments.size() > 1 && arguments[1] == "access") return runner::accessCommand(arguments);
  if (arguments.size() > 1 && arguments[1] == "audit") return runner::auditCommand(arguments);
  if (arguments.size() > 1 && arguments[1] == "who") return runner::whoCommand(arguments);
  if (arguments.size() > 1 && arguments[1] == "what") return runner::whatCommand(arguments);
  const runner::ParseResult parsed = runner::parseCommandLine(arguments);
  if (!parsed.commandLine) {
    std::cerr << "mdhost: " << parsed.error << "\n(mdhost --help shows the usage)\n";
    return 2;
  }
  const runner::CommandLine& line = *parsed.commandLine;
  switch (line.command) {
    case runner::Command::kHelp:
      std::cout << runner::usageText();
      return 0;
    case runner::Command::kVersion:
      return runner::printVersions(line.packages);
    case runner::Command::kInspect:
      return runner::inspectLibrary(line.operands[0], line.json);
    case runner::Command::kRepoImport:
      if (runner::namesServer(line)) return runner::repoCommandThroughServer(line);
      return runner::importRepository(line.operands[0], line.operands[1],
                                      {line.dryRun, line.replace, line.merge});
    case runner::Command::kRepoExport:
      if (runner::namesServer(line)) return runner::repoCommandThroughServer(line);
      return runner::exportRepository(line.operands[0], line.operands[1]);
    case runner::Command::kBrowse:
      return runner::browseCommand(line);
    case runner::Command::kRun:
      return runner::runProgram(line);
  }
  return 2;
}
