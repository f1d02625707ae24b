#include "runner/program_session.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <lua.hpp>

#include "host/reference_host.h"
#include "mdserver/base/ascii_case.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"
#include "runner/character_variable.h"
#include "runner/host_bindings.h"
#include "runner/java_bindings.h"
#include "runner/lua_helpers.h"
#include "runner/lua_program.h"
#include "runner/password_source.h"
#include "runner/program_paths.h"
#include "runner/repository_service.h"
#include "runner/setting_value.h"

namespace runner {
namespace {

// Capacity of the character value of a character function (METADATA_APPPROP): the result slot
// the host hands the callback. Longer values are cut at it, as for any character variable.
constexpr int64_t kCharacterResultCapacity = 256;

// The session the program's calls run in. Its context is "DOSUB", which makes it its own cache
// owner: the packages keep the connection and resolutions in it, and ending it at exit runs
// their cleanups while the host is still whole.
constexpr const char* kProgramContext = "DOSUB";

// The exit status of a run whose own login failed (docs/mdhost.md).
constexpr int kExitLoginFailed = 3;
// The exit status of a run that --bail stopped at a call reporting a failure status.
constexpr int kExitBailed = 4;

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

// --fail-allocation and --fail-operation: counted over the whole run from the moment the
// program starts (loading the packages is not counted), each fault fired once and noted in the
// host log so the program's output can be read against it.
std::string armFaults(const CommandLine& line, refhost::ReferenceHost& host,
                      RepositoryService& repository) {
  std::function<bool()> allocation;
  std::function<StatusCode(const char*)> operation;
  if (line.failAllocation != 0) {
    auto seen = std::make_shared<uint64_t>(0);
    allocation = [seen, k = line.failAllocation, &host] {
      if (++*seen != k) return false;
      host.log(kLevelNote, "allocation request " + std::to_string(k) +
                               " fails, as --fail-allocation asked");
      return true;
    };
    host.setAllocationFaultHook(allocation);
  }
  if (!line.failOperation.empty()) {
    const auto& names = mdserver::ClientInterface::operationNames();
    std::string wanted;
    for (const std::string& name : names) {
      if (mdserver::equalNoCase(name, line.failOperation)) wanted = name;
    }
    if (wanted.empty()) {
      std::string known;
      for (const std::string& name : names) known += (known.empty() ? "" : ", ") + name;
      return "--fail-operation: no interface operation '" + line.failOperation +
             "'; known: " + known;
    }
    auto seen = std::make_shared<uint64_t>(0);
    operation = [seen, wanted, k = line.failOperationAt, &host](const char* name) -> StatusCode {
      if (wanted != name || ++*seen != k) return kStatusOk;
      host.log(kLevelNote, "call " + std::to_string(k) + " of " + wanted +
                               " fails with status 0x801720E3, as --fail-operation asked");
      return mdserver::kStatusStorageFailure;
    };
  }
  if (line.readOnly) {
    // Every operation that changes the repository is refused, before it touches anything, with
    // the status of a refused Write; the rest (reading, listing, transactions) runs as usual.
    operation = [fault = std::move(operation), &host](const char* name) -> StatusCode {
      if (isChangingOperation(name)) {
        host.log(kLevelNote, std::string("--read-only: ") + name + " refused");
        return mdserver::kStatusWriteDenied;
      }
      return fault ? fault(name) : kStatusOk;
    };
  }
  if (allocation || operation) repository.setFaultHooks(allocation, operation);
  return {};
}

}  // namespace

bool isChangingOperation(std::string_view operation) {
  static constexpr std::string_view kChanging[] = {
      "deleteAssociation", "deleteObject",  "newObject",       "setProperty",
      "setAttribute",      "setAssociation", "setAuthorization", "repoSetAuthorization",
      "newAct",            "deleteAct",     "applyAct",        "removeAct",
      "setActAttribute",   "repoApplyAct",  "repoRemoveAct"};
  for (std::string_view changing : kChanging) {
    if (changing == operation) return true;
  }
  return false;
}

namespace {

std::string historyFile() {
  const char* home = std::getenv("HOME");
  return home == nullptr ? std::string() : std::string(home) + "/.mdhost_history";
}

// The Lua state with every global a program sees; null (after saying so) when Lua has no memory.
lua_State* newProgramState(ScriptContext& context, const CommandLine& line) {
  lua_State* L = luaL_newstate();
  if (L == nullptr) {
    std::cerr << "mdhost: cannot create the Lua state\n";
    return nullptr;
  }
  context.state = L;
  luaL_openlibs(L);
  openCharacterVariables(L);
  openHostBindings(L, context);
  openJavaBindings(L, context);
  openLuaHelpers(L, context);
  setScriptArguments(L, line.script.empty() ? "-" : line.script, line.operands);
  return L;
}

int runLua(ScriptContext& context, const CommandLine& line) {
  lua_State* L = newProgramState(context, line);
  if (L == nullptr) return 2;

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
      status = terminal ? runInteractive(L, historyFile(), line.bail) : runStandardInput(L);
    }
  }
  if (status == 0 && line.interactive) {
    status = terminal ? runInteractive(L, historyFile(), line.bail) : runLines(L, line.bail);
  }
  std::fflush(stdout);
  context.state = nullptr;
  lua_close(L);  // character variables go before the host that passes them
  return status;
}

}  // namespace

// Whether writing path would overwrite input: the same file, or the same place for one that
// does not exist yet.
bool samePlace(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  if (std::filesystem::exists(a, error) && std::filesystem::exists(b, error)) {
    return std::filesystem::equivalent(a, b, error);
  }
  const auto first = std::filesystem::weakly_canonical(a, error);
  if (error) return false;
  const auto second = std::filesystem::weakly_canonical(b, error);
  return !error && first == second;
}

// The log is opened for writing (truncated) before anything runs, so it may not be a file the
// run reads or keeps: the repository file with its journal, the script, or the password file.
std::string logClash(const CommandLine& line) {
  std::vector<std::string> inputs;
  if (!line.repository.empty()) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      inputs.push_back(line.repository + suffix);
    }
  } else if (auto sample = findSampleRepository()) {
    inputs.push_back(sample->string());
  }
  if (!line.script.empty() && line.script != "-") inputs.push_back(line.script);
  if (line.passwordFile) inputs.push_back(*line.passwordFile);
  for (const std::string& input : inputs) {
    if (samePlace(line.logFile, input)) {
      return "--log " + line.logFile + ": that is the file '" + input +
             "', which this run reads; the log would overwrite it";
    }
  }
  return {};
}

namespace {

// Everything a run sets up and tears down, around `run`, which gets the program's context.
int runProgramWith(const CommandLine& line,
                   const std::function<int(ScriptContext&, const CommandLine&)>& run) {
  FILE* log = stderr;
  if (!line.logFile.empty()) {
    if (std::string clash = logClash(line); !clash.empty()) {
      std::cerr << "mdhost: " << clash << "\n";
      return 2;
    }
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
      RepositoryService::open(line.repository, credentials, line.verbose, &error, line.tlsCa);
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
    config.recordComponentLoads = false;  // one per call: a long loop would grow it without end
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
    ScriptContext context;
    context.bail = line.bail;
    // A repository note says where in the program the call was made, with the call's object
    // URI marked under the position the note names.
    host.setMetadataProvider(repository->provider([&host, &context](const std::string& text) {
      host.log(kLevelNote, locateNote(context, text));
    }));
    if (std::string refused = armFaults(line, host, *repository); !refused.empty()) {
      std::cerr << "mdhost: " << refused << "\n";
      closeLog();
      return 2;
    }

    context.host = &host;
    context.accounting = repository->accounting();
    context.connectAs = [&repository](HostSession* session, const std::string& user,
                                      const std::string& password) {
      repository->connectAs(session, user, password);
    };
    context.exportSeed = [&repository](HostSession* session, const std::string& file) {
      if (auto sample = findSampleRepository(); sample && samePlace(file, *sample)) {
        return std::string("'") + file + "' is the bundled sample repository; write elsewhere";
      }
      return repository->exportSeed(session, file);
    };
    context.explain = [&repository](HostSession* session, const std::string& object,
                                    const std::string& permission, const std::string& identity,
                                    mdserver::AccessExplanation& out, std::string* error) {
      return repository->explain(session, object, permission, identity, out, error);
    };
    context.repository = repository.get();
    try {
      context.session = host.newSession(host.topSession(), kProgramContext);
    } catch (const std::exception& failure) {
      std::cerr << "mdhost: " << failure.what() << "\n";
      host.setLogFile(nullptr);  // the host outlives the log file
      closeLog();
      return 2;
    }
    if (line.interactive || (line.script.empty() && line.chunks.empty() && isatty(STDIN_FILENO))) {
      setCompletionVocabulary(repository->vocabulary());
    }
    status = run(context, line);
    if (context.bailed && status != 2) status = kExitBailed;
    std::fflush(stdout);
    try {
      host.endSession(context.session);
    } catch (const std::exception& failure) {
      std::cerr << "mdhost: ending the program's session: " << failure.what() << "\n";
      if (status == 0) status = 1;
    }
  }
  if (status == 0 && repository->loginFailed()) {
    // The program ran, but nothing it asked of the repository was answered: a script must be
    // able to tell that from a run that did its work.
    if (line.user) {
      std::cerr << "mdhost: the login of user '" << *line.user
                << "' failed; every request of the repository was refused\n";
    } else {
      std::cerr << "mdhost: the repository requires a login (--user); every request of the "
                   "repository was refused\n";
    }
    status = kExitLoginFailed;
  }
  if (line.stats) std::cerr << (line.json ? repository->statisticsJson() : repository->statistics());
  repository.reset();
  closeLog();
  return status;
}

}  // namespace

int runProgram(const CommandLine& line) { return runProgramWith(line, runLua); }

int runWithProgramState(const CommandLine& line, const std::function<int(lua_State*)>& body) {
  return runProgramWith(line, [&body](ScriptContext& context, const CommandLine& setUp) {
    lua_State* L = newProgramState(context, setUp);
    if (L == nullptr) return 2;
    const int status = body(L);
    context.state = nullptr;
    lua_close(L);  // character variables go before the host that passes them
    return status;
  });
}

}  // namespace runner
