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
  // Opens `location`: a .db file (opened; created when missing, which a note on standard error
  // says), a .json seed file loaded into memory ("-": read from standard input), or, when
  // empty, the bundled sample repository in memory. Null with *error saying what failed. `verbose`: a note on standard error says
  // what was opened, with the one-line summary of a seed that was loaded.
  static std::unique_ptr<RepositoryService> open(const std::string& location,
                                                 Credentials credentials, bool verbose,
                                                 std::string* error);
  ~RepositoryService();

  // What the repository is, for messages: "sample repository (path)", "x.db", ...
  const std::string& description() const { return description_; }

  // The host's hostGetMetadataInterface answer for a session. note, when given, receives the
  // detailed text of every failure an interface reports other than "no match" (which programs
  // meet routinely), e.g. where an object URI is malformed.
  refhost::MetadataProvider provider(std::function<void(const std::string&)> note = {});
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

}  // namespace runner
