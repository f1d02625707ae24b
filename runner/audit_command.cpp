// mdhost audit: the audit trail's records the login may see; usage in security_queries.h.
#include <chrono>
#include <iostream>

#include <nlohmann/json.hpp>

#include "mdserver/access/audit_trail.h"
#include "mdserver/base/status_codes.h"
#include "runner/security_queries.h"

namespace runner {
namespace {

constexpr const char* kUsage =
    "usage: mdhost audit [--repository FILE|https://HOST:PORT] [--tls-ca FILE] [--login NAME] [--password TEXT | --password-file "
    "FILE] [--since T] [--user U] [--object URI] [--outcome allowed|refused|failed] [--after KEY] "
    "[--limit N] [--json]";

int usage(const std::string& problem) {
  std::cerr << "mdhost audit: " << problem << "\n" << kUsage << "\n";
  return 2;
}

nlohmann::json recordJson(const mdserver::AuditRecord& r) {
  return {{"key", r.key},
          {"time", mdserver::auditTimeText(r.time)},
          {"lastTime", mdserver::auditTimeText(r.lastTime)},
          {"count", r.count},
          {"repository", r.repositoryId},
          {"user", r.userId},
          {"identity", r.identityId},
          {"operation", r.operation},
          {"target", r.target},
          {"permission", r.permission},
          {"outcome", r.outcome},
          {"status", r.status},
          {"decidingEntry", r.decidingEntry},
          {"decidingLevel", r.decidingLevel},
          {"decision", r.decision},
          {"changeCount", r.changeCount}};
}

}  // namespace

int auditCommand(const std::vector<std::string>& arguments) {
  QueryOptions options;
  const std::string problem = readQueryOptions(
      arguments,
      {"--repository", "--tls-ca", "--login", "--password", "--password-file", "--since", "--user",
       "--object", "--outcome", "--after", "--limit"},
      {"--json", "--help"}, options);
  if (!problem.empty()) return usage(problem);
  if (options.flags.count("--help")) {
    std::cout << kUsage << "\n";
    return 0;
  }
  if (!options.operands.empty()) return usage("unexpected operand " + options.operands[0]);
  mdserver::AuditFilter filter;
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  if (options.has("--since")) {
    const auto since = parseSince(options.value("--since"), now);
    if (!since) {
      return usage("--since " + options.value("--since") +
                   ": give a UTC time (2026-12-09, 2026-12-09T16:30:05Z) or an age (15m, 2h, 7d)");
    }
    filter.since = *since;
  }
  filter.userId = options.value("--user");
  filter.outcome = options.value("--outcome");
  if (!filter.outcome.empty() && filter.outcome != "allowed" && filter.outcome != "refused" &&
      filter.outcome != "failed") {
    return usage("--outcome " + filter.outcome + ": give allowed, refused or failed");
  }
  if (options.has("--after")) {
    const auto after = parseCount(options.value("--after"));
    if (!after) return usage("--after " + options.value("--after") + ": give a record's key");
    filter.afterKey = static_cast<int64_t>(*after);
  }
  if (options.has("--limit")) {
    const auto limit = parseCount(options.value("--limit"));
    if (!limit) return usage("--limit " + options.value("--limit") + ": give a whole number");
    filter.limit = *limit;
  }
  std::string error;
  auto opened = openForQuery(options, options.value("--login"), &error);
  if (!opened) {
    std::cerr << "mdhost audit: " << error << "\n";
    return 2;
  }
  if (options.has("--object")) {
    const std::string object = options.value("--object");
    if (object.find(':') == std::string::npos) {
      filter.target = object;  // an identifier (object, repository) or a user id of a login
    } else {
      // A URI names the object the reader can see; one it cannot is no object.
      const mdserver::Outcome resolved =
          resolveReadableObject(*opened->service, nullptr, object, filter.target);
      if (!resolved.ok()) {
        std::cerr << "mdhost audit: --object " << object << ": " << resolved.message << "\n";
        return 2;
      }
    }
  }
  std::vector<mdserver::AuditRecord> records;
  bool more = false;
  const mdserver::Outcome read = askAudit(*opened->service, nullptr, filter, records, &more);
  if (!read.ok()) {
    std::cerr << "mdhost audit: " << read.message << "\n";
    return read.status == mdserver::kStatusAdministerDenied ? 1 : 2;
  }
  if (options.flags.count("--json")) {
    nlohmann::json out = {{"records", nlohmann::json::array()}};
    for (const auto& r : records) out["records"].push_back(recordJson(r));
    out["more"] = more;
    if (more) out["after"] = records.back().key;
    std::cout << out.dump(2) << "\n";
  } else {
    for (const auto& r : records) std::cout << r.key << " " << mdserver::auditLine(r) << "\n";
    if (more) {
      std::cout << "(more records follow: --after " << records.back().key << ")\n";
    }
  }
  return 0;
}

}  // namespace runner
