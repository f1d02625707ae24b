#include "runner/program_session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <lua.hpp>

#include "host/reference_host.h"
#include "runner/character_variable.h"
#include "runner/host_bindings.h"
#include "runner/java_bindings.h"
#include "runner/lua_program.h"
#include "runner/program_paths.h"
#include "runner/password_source.h"
#include "runner/repository_service.h"

namespace runner {
namespace {

// Capacity of the character value of a character function (METADATA_APPPROP): the result slot
// the host hands the callback. Longer values are cut at it, as for any character variable.
constexpr int64_t kCharacterResultCapacity = 256;

// The session the program's calls run in. Its context is "DOSUB", which makes it its own cache
// owner: the packages keep the connection and resolutions in it, and ending it at exit runs
// their cleanups while the host is still whole.
constexpr const char* kProgramContext = "DOSUB";

std::u16string widen(const std::string& text) {
  // Setting names and values are ASCII in practice; other bytes are kept as code units.
  return std::u16string(text.begin(), text.end());
}

// --set NAME=VALUE stores the text; NAME=double:X and NAME=integer:N store numbers, for settings
// that are read as numbers (tkbug.RNGSEED is a double).
std::string applySetting(refhost::ReferenceHost& host, const std::string& name,
                         const std::string& value) {
  const auto numberAfter = [&](const std::string& prefix) -> std::optional<std::string> {
    if (value.rfind(prefix, 0) != 0) return std::nullopt;
    return value.substr(prefix.size());
  };
  if (auto text = numberAfter("double:")) {
    char* end = nullptr;
    const double number = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0') return "--set " + name + ": '" + *text + "' is no number";
    host.setNameValueDouble(widen(name), number);
  } else if (auto text = numberAfter("integer:")) {
    char* end = nullptr;
    const long long number = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0') {
      return "--set " + name + ": '" + *text + "' is no integer";
    }
    host.setNameValueInteger(widen(name), number);
  } else {
    host.setNameValueText(widen(name), widen(value));
  }
  return {};
}

std::string loadPackages(refhost::ReferenceHost& host, const std::string& directory) {
  std::filesystem::path folder = directory;
  if (folder.empty()) {
    const auto found = findPackageDirectory();
    if (!found) {
      std::string searched;
      for (const auto& candidate : packageSearchPath()) searched += " " + candidate.string();
      return "objfuncs.so not found (searched:" + searched + "); use --packages DIR";
    }
    folder = *found;
  }
  for (const char* file : kPackageFiles) {
    try {
      host.load((folder / file).string());
    } catch (const std::exception& error) {
      return error.what();
    }
  }
  return {};
}

std::string historyFile() {
  const char* home = std::getenv("HOME");
  return home == nullptr ? std::string() : std::string(home) + "/.mdhost_history";
}

int runLua(ScriptContext& context, const CommandLine& line) {
  lua_State* L = luaL_newstate();
  if (L == nullptr) {
    std::cerr << "mdhost: cannot create the Lua state\n";
    return 2;
  }
  luaL_openlibs(L);
  openCharacterVariables(L);
  openHostBindings(L, context);
  openJavaBindings(L, context);
  setScriptArguments(L, line.script.empty() ? "-" : line.script, line.operands);

  // As the stand-alone Lua interpreter: -e chunks first, then the script; without either, the
  // interactive loop on a terminal or the program on standard input; -i adds the loop at the end.
  int status = 0;
  for (size_t i = 0; i < line.chunks.size() && status == 0; ++i) {
    status = runChunk(L, line.chunks[i], "(command line)");
  }
  const bool terminal = isatty(STDIN_FILENO) != 0;
  if (status == 0) {
    if (!line.script.empty()) {
      status = runScriptFile(L, line.script);
    } else if (line.chunks.empty() && !line.interactive) {
      status = terminal ? runInteractive(L, historyFile()) : runStandardInput(L);
    }
  }
  if (status == 0 && line.interactive) {
    status = terminal ? runInteractive(L, historyFile()) : runLines(L);
  }
  std::fflush(stdout);
  lua_close(L);  // character variables go before the host that passes them
  return status;
}

}  // namespace

int runProgram(const CommandLine& line) {
  FILE* log = stderr;
  if (!line.logFile.empty()) {
    log = std::fopen(line.logFile.c_str(), "w");
    if (log == nullptr) {
      std::cerr << "mdhost: cannot write the log file '" << line.logFile
                << "': " << std::strerror(errno) << "\n";
      return 2;
    }
  }
  const auto closeLog = [&] {
    if (log != stderr) std::fclose(log);
  };

  // Standard input can be read once: as the repository's seed or as the program, not both.
  const bool programFromInput =
      line.script == "-" || (line.script.empty() && line.chunks.empty() && !line.interactive);
  if (line.repository == "-" && programFromInput) {
    std::cerr << "mdhost: --repository - reads the seed from standard input; give the program "
                 "as SCRIPT or with -e\n";
    closeLog();
    return 2;
  }

  std::string error;
  const std::optional<std::string> password = resolvePassword(line, &error);
  if (!password) {
    std::cerr << "mdhost: " << error << "\n";
    closeLog();
    return 2;
  }
  Credentials credentials{line.user.value_or(""), *password};
  std::unique_ptr<RepositoryService> repository =
      RepositoryService::open(line.repository, credentials, line.verbose, &error);
  if (!repository) {
    std::cerr << "mdhost: " << error << "\n";
    closeLog();
    return 2;
  }

  int status = 0;
  {
    refhost::HostConfig config;
    config.optionText = line.optionText;
    config.rdrandAvailable = !line.noRdrand;
    config.multiByte = line.multiByte;
    // The log is held back while the packages load, then what loading wrote is passed on:
    // everything into a log file, but on the terminal the routine notes only with -v.
    config.logFile = nullptr;
    config.characterResultCapacity = kCharacterResultCapacity;
    config.javaClassPath = javaClassPath();
    refhost::ReferenceHost host(config);
    for (const auto& [name, value] : line.settings) error += applySetting(host, name, value);
    if (error.empty()) error = loadPackages(host, line.packages);
    const bool allNotes = line.verbose || log != stderr;
    for (const refhost::LogLine& logLine : host.logLines()) {
      if (logLine.level == kLevelNote && !allNotes) continue;
      std::fprintf(log, "%s\n", logLine.text.c_str());
    }
    std::fflush(log);
    host.setLogFile(log);
    if (!error.empty()) {
      std::cerr << "mdhost: " << error << "\n";
      host.setLogFile(nullptr);  // the host outlives the log file
      closeLog();
      return 2;
    }
    host.setMetadataProvider(repository->provider(
        [&host](const std::string& text) { host.log(kLevelNote, text); }));

    ScriptContext context;
    context.host = &host;
    context.accounting = repository->accounting();
    context.connectAs = [&repository](HostSession* session, const std::string& user,
                                      const std::string& password) {
      repository->connectAs(session, user, password);
    };
    context.explain = [&repository](HostSession* session, const std::string& object,
                                    const std::string& permission, const std::string& identity,
                                    mdserver::AccessExplanation& out, std::string* error) {
      return repository->explain(session, object, permission, identity, out, error);
    };
    try {
      context.session = host.newSession(host.topSession(), kProgramContext);
    } catch (const std::exception& failure) {
      std::cerr << "mdhost: " << failure.what() << "\n";
      host.setLogFile(nullptr);  // the host outlives the log file
      closeLog();
      return 2;
    }
    status = runLua(context, line);
    std::fflush(stdout);
    try {
      host.endSession(context.session);
    } catch (const std::exception& failure) {
      std::cerr << "mdhost: ending the program's session: " << failure.what() << "\n";
      if (status == 0) status = 1;
    }
  }
  if (line.stats) std::cerr << repository->statistics();
  repository.reset();
  closeLog();
  return status;
}

}  // namespace runner
