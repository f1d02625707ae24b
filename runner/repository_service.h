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

#include <nlohmann/json.hpp>

#include "host/reference_host.h"
#include "runner/host_bindings.h"

#include "mdserver/access/access_explanation.h"

namespace mdserver {
class Repository;
struct Principal;
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
  // "https://HOST:PORT": a network server (mdserver); the credentials are the login there,
  // and tlsCa (else $MDHOST_TLS_CA, else the system's store) the authority its certificate must
  // come from.
  static std::unique_ptr<RepositoryService> open(const std::string& location,
                                                 Credentials credentials, bool verbose,
                                                 std::string* error,
                                                 const std::string& tlsCa = {});
  ~RepositoryService();

  // What the repository is, for messages: "sample repository (path)", "x.db", ...
  const std::string& description() const { return description_; }

  // The host's hostGetMetadataInterface answer for a session. The first request authenticates
  // the credentials given to open() (or to connectAs for that session) against the repository's
  // logins, once; a failed login makes every request fail with its status (0x80172150 unknown
  // user or wrong password, 0x80172151 login required) and a note, never an anonymous
  // connection. note, when given, receives the
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
  // Interfaces handed out for `session` from now on act for this user (newsession{user=...}).
  void connectAs(HostSession* session, const std::string& user, const std::string& password);
  // Why the session's user (or `identity`, when not blank) is granted or denied `permission` on
  // `object`: the decision enforcement makes, explained (mdserver/access/access_explanation.h). False
  // with *error saying what was wrong (a failed login, an unknown object or identity).
  bool explain(HostSession* session, const std::string& object, const std::string& permission,
               const std::string& identity, mdserver::AccessExplanation& out, std::string* error);
  // explain() against a network server, through its explanation route.
  bool explainRemotely(HostSession* session, const std::string& object,
                       const std::string& permission, const std::string& identity,
                       mdserver::AccessExplanation& out, std::string* error);
  // What the interactive loop completes inside strings: the namespace's type names (which
  // every user may list) and the model's paired association names.
  std::vector<std::string> vocabulary();
  // export(file) of a program: writes the repository (its committed state) as a seed file.
  // Only the local administrator may: a seed holds every object and every login's hash, which
  // no user of the repository may read. The error text, empty on success.
  std::string exportSeed(HostSession* session, const std::string& file);
  // The principal the session's interfaces act for (the program's own login when session is
  // null), for questions asked of the repository directly (audit, who, what). False with
  // *error when the login failed.
  bool principalFor(HostSession* session, mdserver::Principal& out, std::string* error);
  mdserver::Repository& repository();
  // Whether the session's login (the program's own when session is null) succeeded, in-process
  // or on a network server; false with *error ("the login failed: ...").
  bool checkLogin(HostSession* session, std::string* error);
  // True when the repository is a network server's (open() of "https://..."): then there is no
  // repository() here, and questions go to the server's routes through askServer().
  bool isRemote() const;
  // For a network server: POSTs `question` to `route` (/v1/audit, /v1/who, /v1/what) under the
  // session's login (the program's own when session is null) and hands back the server's
  // answer, which always holds "status" and, when that is not 0, "error". False with *error
  // when the login failed.
  bool askServer(HostSession* session, const std::string& route, const nlohmann::json& question,
                 nlohmann::json& answer, std::string* error);
  // True once the program's own login (the credentials given to open(), not a newsession's)
  // was tried and failed, or none was given where the repository requires one.
  bool loginFailed() const;
  // The --stats report: calls per operation over all interfaces, and pool blocks outstanding.
  std::string statistics() const;
  // The same as one JSON object: interfaces {handedOut, released, open}, calls {operation:
  // count}, pool {blocksOutstanding, bytesOutstanding, blocksLeftAtRelease, bytesLeftAtRelease}.
  std::string statisticsJson() const;

 private:
  RepositoryService() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string description_;
};

}  // namespace runner
