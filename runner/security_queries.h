// The commands that ask the repository about security as a whole, each in a file of its own:
//   mdhost audit [--repository FILE] [--login NAME] [--password TEXT | --password-file FILE]
//                [--since T] [--user U] [--object URI] [--outcome allowed|refused|failed]
//                [--after KEY] [--limit N] [--json]                      (audit_command.cpp)
//   mdhost who   [--repository FILE] [--user NAME] [password options] [--cursor C] [--limit N]
//                [--json] TARGET PERMISSION                              (who_command.cpp)
//   mdhost what  [--repository FILE] [--user NAME] [password options] [--identity NAME]
//                [--type TYPE] [--cursor C] [--limit N] [--json] PERMISSION (what_command.cpp)
// The asker is the user logged in (none: the local administrator); what each may ask is the
// repository's rule (mdserver/access/audit_trail.h, reverse_queries.h). Exit status 0 answered,
// 1 refused by the repository, 2 a usage or repository error.
// The shared pieces (option reading, opening, times, the questions) are in security_queries.cpp.
// --repository https://HOST:PORT asks a network server (--tls-ca: the authority of its certificate).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mdserver/access/reverse_queries.h"
#include "mdserver/base/outcome.h"
#include "mdserver/security/audit_store.h"
#include "mdserver/security/security_types.h"
#include "runner/repository_service.h"

namespace runner {

int auditCommand(const std::vector<std::string>& arguments);
int whoCommand(const std::vector<std::string>& arguments);
int whatCommand(const std::vector<std::string>& arguments);

// Options as read from arguments[2...]: those in `valued` take a value, those in `flags` none;
// anything else starting with "--" is an error, the rest are operands.
struct QueryOptions {
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> operands;
  bool has(const std::string& name) const { return values.count(name) != 0; }
  std::string value(const std::string& name) const {
    auto found = values.find(name);
    return found == values.end() ? std::string() : found->second;
  }
};
// Empty text: read; otherwise what was wrong.
std::string readQueryOptions(const std::vector<std::string>& arguments,
                             const std::set<std::string>& valued,
                             const std::set<std::string>& flags, QueryOptions& out);

// Opens --repository (a file, or https://HOST:PORT with --tls-ca) and logs in as `user`
// (blank: the local administrator; on a server, no login) with the password from --password,
// --password-file or the usual sources (password_source.h). Null with *error.
struct OpenedRepository {
  std::unique_ptr<RepositoryService> service;
};
std::optional<OpenedRepository> openForQuery(const QueryOptions& options, const std::string& user,
                                             std::string* error);

// The questions themselves, for the login of `session` (null: the program's own): asked of the
// repository in-process, or of a network server's routes (/v1/audit, /v1/who, /v1/what), which
// decide with the same functions; either way the answer, its paging and a refusal's status and
// text are the same. A failed login is answered as a refusal with "the login failed: ...".
mdserver::Outcome askAudit(RepositoryService& service, HostSession* session,
                           const mdserver::AuditFilter& filter,
                           std::vector<mdserver::AuditRecord>& records, bool* more);
mdserver::Outcome askWho(RepositoryService& service, HostSession* session,
                         const std::string& target, const std::string& permission,
                         const mdserver::PageRequest& page, mdserver::WhoPage& answer);
mdserver::Outcome askWhat(RepositoryService& service, HostSession* session,
                          const std::string& identity, const std::string& permission,
                          const std::string& type, const mdserver::PageRequest& page,
                          mdserver::WhatPage& answer);
// The identifier of the first object `uri` resolves to among those the login may read; an
// object it may not read is no object ("no object matches").
mdserver::Outcome resolveReadableObject(RepositoryService& service, HostSession* session,
                                        const std::string& uri, std::string& id);

// "2026-12-09", "2026-12-09T16:30", "2026-12-09T16:30:05Z" (UTC), or an age: "90s", "15m",
// "2h", "7d" before now. Milliseconds since 1970, or nothing.
std::optional<int64_t> parseSince(const std::string& text, int64_t nowMs);

// A count option ("--limit"): a whole number, or nothing.
std::optional<size_t> parseCount(const std::string& text);

// The frame `mdhost who` and `mdhost what` share: the login options, --cursor, --limit, --json,
// --help and `extraValued`; exactly `operands` operands; the login; one page asked by `ask`
// (printed by `print`, as JSON or text); the exit statuses of the header above.
struct PagedQueryCommand {
  const char* name;                   // "who": messages start "mdhost who: "
  const char* usage;
  std::set<std::string> extraValued;  // options of this command alone, taking a value
  size_t operands = 0;
  const char* operandsProblem;        // what to say when their number is wrong
};
int runPagedQuery(const PagedQueryCommand& command, const std::vector<std::string>& arguments,
                  const std::function<mdserver::Outcome(RepositoryService&, const QueryOptions&,
                                                        const mdserver::PageRequest&)>& ask,
                  const std::function<void(bool json)>& print);

}  // namespace runner
