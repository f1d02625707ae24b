// Shared pieces of mdhost audit, who and what; see security_queries.h.
#include "runner/security_queries.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <iostream>

#include <nlohmann/json.hpp>

#include "mdserver/access/audit_trail.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/readable_set.h"
#include "runner/command_line.h"
#include "runner/password_source.h"

namespace runner {

std::string readQueryOptions(const std::vector<std::string>& arguments,
                             const std::set<std::string>& valued,
                             const std::set<std::string>& flags, QueryOptions& out) {
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (valued.count(word)) {
      if (i + 1 >= arguments.size()) return word + " needs a value";
      out.values[word] = arguments[++i];
    } else if (flags.count(word)) {
      out.flags.insert(word);
    } else if (word.size() > 1 && word[0] == '-' && word[1] == '-') {
      return unknownOption(word, /*quoted=*/false);
    } else {
      out.operands.push_back(word);
    }
  }
  return {};
}

std::optional<OpenedRepository> openForQuery(const QueryOptions& options, const std::string& user,
                                             std::string* error) {
  CommandLine line;
  line.repository = options.value("--repository");
  line.tlsCa = options.value("--tls-ca");
  if (!user.empty()) line.user = user;
  if (options.has("--password")) line.password = options.value("--password");
  if (options.has("--password-file")) line.passwordFile = options.value("--password-file");
  const std::optional<std::string> password = resolvePassword(line, error);
  if (!password) return std::nullopt;
  OpenedRepository opened;
  opened.service = RepositoryService::open(line.repository, Credentials{user, *password},
                                           /*verbose=*/false, error, line.tlsCa);
  if (!opened.service) return std::nullopt;
  if (!opened.service->checkLogin(nullptr, error)) return std::nullopt;
  return opened;
}

namespace {

using nlohmann::json;

// A server's answer as the outcome the in-process function gives: its status and error text.
// An argument the route itself refused is prefixed with the route's name, which the callers add
// themselves.
mdserver::Outcome outcomeOf(const json& answer, const std::string& route) {
  mdserver::Outcome outcome;
  const auto status = answer.find("status");
  outcome.status = status != answer.end() && status->is_number_unsigned()
                       ? status->get<StatusCode>()
                       : mdserver::kStatusStorageFailure;
  if (outcome.ok()) return outcome;
  outcome.message = answer.value("error", std::string("the server refused the question"));
  const std::string prefix = route + ": ";
  if (outcome.message.compare(0, prefix.size(), prefix) == 0) {
    outcome.message.erase(0, prefix.size());
  }
  return outcome;
}

std::string textOf(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

template <typename Number>
Number numberOf(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_number() ? found->get<Number>() : Number{};
}

// The session's principal for a question answered in-process; false with the failed login set.
bool localPrincipal(RepositoryService& service, HostSession* session,
                    mdserver::Principal& principal, mdserver::Outcome& outcome) {
  std::string error;
  if (service.principalFor(session, principal, &error)) return true;
  outcome = {mdserver::kStatusLoginFailed, error};
  return false;
}

// Asks a network server; false with the outcome (a failed login, a refusal) set.
bool askRoute(RepositoryService& service, HostSession* session, const std::string& route,
              const json& question, json& answer, mdserver::Outcome& outcome) {
  std::string error;
  if (!service.askServer(session, "/v1/" + route, question, answer, &error)) {
    outcome = {mdserver::kStatusLoginFailed, error};
    return false;
  }
  outcome = outcomeOf(answer, route);
  return outcome.ok();
}

}  // namespace

mdserver::Outcome askAudit(RepositoryService& service, HostSession* session,
                           const mdserver::AuditFilter& filter,
                           std::vector<mdserver::AuditRecord>& records, bool* more) {
  records.clear();
  *more = false;
  mdserver::Outcome outcome;
  if (!service.isRemote()) {
    mdserver::Principal principal;
    mdserver::Outcome failed;
    if (!localPrincipal(service, session, principal, failed)) return failed;
    return mdserver::readAuditTrail(service.repository(), principal, filter, records, more);
  }
  // limit always given: the route's own default (a page of 100) is not the command's (all).
  json question = {{"user", filter.userId},     {"object", filter.target},
                   {"outcome", filter.outcome}, {"since", filter.since},
                   {"after", filter.afterKey},  {"limit", filter.limit}};
  json answer;
  if (!askRoute(service, session, "audit", question, answer, outcome)) return outcome;
  for (const json& r : answer.value("records", json::array())) {
    mdserver::AuditRecord record;
    record.key = numberOf<int64_t>(r, "key");
    record.time = numberOf<int64_t>(r, "timeMs");
    record.lastTime = numberOf<int64_t>(r, "lastTimeMs");
    record.count = numberOf<int64_t>(r, "count");
    record.repositoryId = textOf(r, "repository");
    record.userId = textOf(r, "user");
    record.identityId = textOf(r, "identity");
    record.operation = textOf(r, "operation");
    record.target = textOf(r, "target");
    record.permission = textOf(r, "permission");
    record.outcome = textOf(r, "outcome");
    record.status = numberOf<uint32_t>(r, "code");
    record.decidingEntry = textOf(r, "decidingEntry");
    record.decidingLevel = textOf(r, "decidingLevel");
    record.decision = textOf(r, "decision");
    record.changeCount = numberOf<uint64_t>(r, "changeCount");
    records.push_back(std::move(record));
  }
  *more = answer.value("more", false) && !records.empty();
  return outcome;
}

mdserver::Outcome askWho(RepositoryService& service, HostSession* session,
                         const std::string& target, const std::string& permission,
                         const mdserver::PageRequest& page, mdserver::WhoPage& out) {
  out = {};
  mdserver::Outcome outcome;
  if (!service.isRemote()) {
    mdserver::Principal principal;
    mdserver::Outcome failed;
    if (!localPrincipal(service, session, principal, failed)) return failed;
    return mdserver::whoMay(service.repository(), principal, target, permission, page, out);
  }
  json question = {{"target", target}, {"permission", permission}, {"limit", page.limit}};
  if (!page.cursor.empty()) question["cursor"] = page.cursor;
  json answer;
  if (!askRoute(service, session, "who", question, answer, outcome)) return outcome;
  out.target = textOf(answer, "target");
  out.permission = textOf(answer, "permission");
  out.nextCursor = textOf(answer, "cursor");
  for (const json& a : answer.value("identities", json::array())) {
    out.answers.push_back({textOf(a, "id"), textOf(a, "name"), textOf(a, "type"),
                           textOf(a, "decision"), textOf(a, "decidingEntry"),
                           textOf(a, "decidingLevel")});
  }
  return outcome;
}

mdserver::Outcome askWhat(RepositoryService& service, HostSession* session,
                          const std::string& identity, const std::string& permission,
                          const std::string& type, const mdserver::PageRequest& page,
                          mdserver::WhatPage& out) {
  out = {};
  mdserver::Outcome outcome;
  if (!service.isRemote()) {
    mdserver::Principal principal;
    mdserver::Outcome failed;
    if (!localPrincipal(service, session, principal, failed)) return failed;
    return mdserver::whatMay(service.repository(), principal, identity, permission, type, page,
                             out);
  }
  json question = {{"identity", identity}, {"permission", permission}, {"type", type},
                   {"limit", page.limit}};
  if (!page.cursor.empty()) question["cursor"] = page.cursor;
  json answer;
  if (!askRoute(service, session, "what", question, answer, outcome)) return outcome;
  out.identityId = textOf(answer, "identity");
  out.nextCursor = textOf(answer, "cursor");
  for (const json& o : answer.value("objects", json::array())) {
    mdserver::ObjectRow row;
    row.id = textOf(o, "id");
    row.type = textOf(o, "type");
    row.name = textOf(o, "name");
    out.objects.push_back(std::move(row));
  }
  return outcome;
}

mdserver::Outcome resolveReadableObject(RepositoryService& service, HostSession* session,
                                        const std::string& uri, std::string& id) {
  id.clear();
  std::vector<std::string> found;
  if (!service.isRemote()) {
    mdserver::Principal principal;
    mdserver::Outcome failed;
    if (!localPrincipal(service, session, principal, failed)) return failed;
    mdserver::Repository& repository = service.repository();
    mdserver::ReadableSet readable;
    std::vector<std::string> ids;
    for (const auto& info : repository.repositories()) ids.push_back(info.id);
    mdserver::Outcome computed =
        mdserver::readableSet(repository.security(), principal, ids, readable);
    std::vector<mdserver::ObjectRow> rows;
    if (computed.ok()) computed = repository.resolve(uri, 0, rows, &readable);
    if (!computed.ok()) return computed;
    for (const auto& row : rows) found.push_back(row.id);
  } else {
    // The server's interface for the session resolves within what the login may read.
    json answer;
    std::string error;
    if (!service.askServer(session, "/v1/operations/resolveUri", {{"uri", uri}}, answer,
                           &error)) {
      return {mdserver::kStatusLoginFailed, error};
    }
    const mdserver::Outcome outcome = outcomeOf(answer, "resolveUri");
    if (!outcome.ok() && outcome.status != mdserver::kStatusObjectNotFound) return outcome;
    for (const json& o : answer.value("objects", json::array())) found.push_back(textOf(o, "id"));
  }
  if (found.empty()) return {mdserver::kStatusObjectNotFound, "no object matches"};
  id = found.front();
  return {};
}

std::optional<int64_t> parseSince(const std::string& text, int64_t nowMs) {
  if (text.size() >= 2 && std::isdigit(static_cast<unsigned char>(text[0]))) {
    const char unit = text.back();
    const std::string digits = text.substr(0, text.size() - 1);
    const bool allDigits = digits.find_first_not_of("0123456789") == std::string::npos;
    const int64_t scale = unit == 's' ? 1000 : unit == 'm' ? 60'000 : unit == 'h' ? 3'600'000
                                             : unit == 'd' ? 86'400'000 : 0;
    if (allDigits && scale != 0 && digits.size() < 12) {
      return nowMs - std::stoll(digits) * scale;
    }
  }
  std::tm t{};
  int fields = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char zone[4] = {0};
  fields = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%3s", &year, &month, &day, &hour,
                       &minute, &second, zone);
  const bool dateOnly = fields == 3 && text.size() == 10;
  const bool minutes = fields == 5 && (text.size() == 16 || (text.size() == 17 && text[16] == 'Z'));
  const bool seconds = (fields == 6 && text.size() == 19) ||
                       (fields == 7 && text.size() == 20 && std::string(zone) == "Z");
  if (!dateOnly && !minutes && !seconds) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<int64_t>(timegm(&t)) * 1000;
}

std::optional<size_t> parseCount(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<size_t>(std::stoul(text));
}

int runPagedQuery(const PagedQueryCommand& command, const std::vector<std::string>& arguments,
                  const std::function<mdserver::Outcome(RepositoryService&, const QueryOptions&,
                                                        const mdserver::PageRequest&)>& ask,
                  const std::function<void(bool json)>& print) {
  const std::string prefix = std::string("mdhost ") + command.name + ": ";
  auto usage = [&](const std::string& problem) {
    std::cerr << prefix << problem << "\n" << command.usage << "\n";
    return 2;
  };
  std::set<std::string> valued = {"--repository", "--tls-ca", "--user", "--password",
                                  "--password-file", "--cursor", "--limit"};
  valued.insert(command.extraValued.begin(), command.extraValued.end());
  QueryOptions options;
  const std::string problem = readQueryOptions(arguments, valued, {"--json", "--help"}, options);
  if (!problem.empty()) return usage(problem);
  if (options.flags.count("--help")) {
    std::cout << command.usage << "\n";
    return 0;
  }
  if (options.operands.size() != command.operands) return usage(command.operandsProblem);
  mdserver::PageRequest page;
  page.limit = 0;  // everything, unless a page is asked for
  page.cursor = options.value("--cursor");
  if (options.has("--limit")) {
    const auto limit = parseCount(options.value("--limit"));
    if (!limit) return usage("--limit " + options.value("--limit") + ": give a whole number");
    page.limit = *limit;
  }
  std::string error;
  auto opened = openForQuery(options, options.value("--user"), &error);
  if (!opened) {
    std::cerr << prefix << error << "\n";
    return 2;
  }
  const mdserver::Outcome asked = ask(*opened->service, options, page);
  if (!asked.ok()) {
    std::cerr << prefix << asked.message << "\n";
    return asked.status == mdserver::kStatusAdministerDenied ? 1 : 2;
  }
  print(options.flags.count("--json") != 0);
  return 0;
}

}  // namespace runner
