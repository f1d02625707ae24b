// The repository a program runs against, and the metadata client interfaces the host hands out
// over it: one interface per request of a session, all sharing one repository. Also the
// accounting the program and --stats read, kept here so that it outlives the interfaces (the
// packages release theirs when a session ends).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/reference_host.h"
#include "runner/host_bindings.h"

namespace mdserver {
class Repository;
}

namespace runner {

struct Credentials {
  std::string user;
  std::string password;
};

class RepositoryService {
 public:
  // Opens `location`: a .db file (opened or created), a .json seed file loaded into memory, or,
  // when empty, the bundled sample repository in memory. Null with *error saying what failed.
  static std::unique_ptr<RepositoryService> open(const std::string& location,
                                                 Credentials credentials, std::string* error);
  ~RepositoryService();

  // What the repository is, for messages: "sample repository (path)", "x.db", ...
  const std::string& description() const { return description_; }

  // The host's hostGetMetadataInterface answer for a session. note, when given, receives the
  // detailed text of every failure an interface reports other than "no match" (which programs
  // meet routinely), e.g. where an object URI is malformed.
  refhost::MetadataProvider provider(std::function<void(const std::string&)> note = {});
  // Fault injection for every interface handed out from now on: allocation is asked before each
  // pool request (true fails it), operation before each operation call (non-zero fails it with
  // that status).
  void setFaultHooks(std::function<bool()> allocation,
                     std::function<StatusCode(const char*)> operation);
  // calls() and pool() of the program.
  Accounting accounting();
  // The --stats report: calls per operation over all interfaces, and pool blocks outstanding.
  std::string statistics() const;

 private:
  RepositoryService() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string description_;
};

// `mdhost repo import SEED DB` and `mdhost repo export DB SEED`; return the exit status after
// printing what was done or what went wrong.
int importRepository(const std::string& seedPath, const std::string& databasePath);
int exportRepository(const std::string& databasePath, const std::string& seedPath);

}  // namespace runner
