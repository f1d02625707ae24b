// The web console's routes and browser sessions; contract in console_routes.h.
#include "server/console_routes.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string_view>

#include "mdaccess/md_abi.h"
#include "mdserver/access/access_explanation.h"
#include "mdserver/access/audit_trail.h"
#include "mdserver/access/reverse_queries.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/readable_set.h"
#include "mdserver/security/security_store.h"
#include "server/console_assets.h"

namespace mdserver_net {
namespace {

using nlohmann::json;
using namespace mdserver;  // status codes

void answer(httplib::Response& res, int httpStatus, const json& body) {
  res.status = httpStatus;
  res.set_content(body.dump(), "application/json");
}

void answerError(httplib::Response& res, int httpStatus, StatusCode status,
                 const std::string& error) {
  answer(res, httpStatus, {{"status", status}, {"error", error}});
}

std::string cookieValue(const httplib::Request& req, std::string_view name) {
  // Several Cookie headers may come, each "a=1; b=2".
  const size_t count = req.get_header_value_count("Cookie");
  for (size_t i = 0; i < count; ++i) {
    const std::string header = req.get_header_value("Cookie", i);
    size_t at = 0;
    while (at < header.size()) {
      size_t end = header.find(';', at);
      if (end == std::string::npos) end = header.size();
      std::string_view pair(header.data() + at, end - at);
      while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
      const size_t equals = pair.find('=');
      if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
        return std::string(pair.substr(equals + 1));
      }
      at = end + 1;
    }
  }
  return {};
}

std::string hex(const unsigned char* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

bool sameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string sessionCookie(const std::string& token, int64_t maxAge) {
  return std::string(kSessionCookie) + "=" + token + "; Path=/; Max-Age=" +
         std::to_string(maxAge) + "; HttpOnly; Secure; SameSite=Strict";
}

// Arguments of the console's routes: a JSON object of texts.
struct Arguments {
  json body;
  std::string problem;
  std::string text(const char* name, bool required = true) {
    auto found = body.find(name);
    if (found == body.end() || found->is_null()) {
      if (required && problem.empty()) problem = std::string("argument '") + name + "' is missing";
      return {};
    }
    if (!found->is_string()) {
      if (problem.empty()) problem = std::string("argument '") + name + "' is not a text";
      return {};
    }
    return found->get<std::string>();
  }
};

bool parseArguments(const httplib::Request& req, httplib::Response& res, const char* route,
                    Arguments& out) {
  out.body = req.body.empty() ? json::object() : json::parse(req.body, nullptr, false);
  if (out.body.is_discarded() || !out.body.is_object()) {
    answerError(res, 400, kStatusInvalidArgument,
                std::string(route) + ": the body is not a JSON object");
    return false;
  }
  return true;
}

std::string textOf(const char* p, int32_t n) {
  return p && n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}
std::string textOf(const TextPair& pair) { return textOf(pair.text, pair.length); }
int32_t length(const std::string& s) { return static_cast<int32_t>(s.size()); }

// An interface opened for the request's principal, released on every path.
struct OpenInterface {
  MetadataInterface* md = nullptr;
  ~OpenInterface() {
    if (md) releaseInterface(md);
  }
  std::string lastError() const { return ClientInterface::fromAbi(md)->lastErrorText(); }
};

// A handle on a repository (identifier or name) or an object (identifier and type), resolved
// through the interface: what the principal may not read is not found.
struct Handle {
  MetadataObject* head = nullptr;
  ~Handle() {
    if (head) releaseObjectList(head);
  }
};

StatusCode resolveTarget(MetadataInterface* md, const std::string& id, const std::string& type,
                         Handle& out) {
  const std::string uri =
      type.empty() || type == "Repository" ? "vqsobj:Repository\\" + id : "vqsobj:" + type + "\\" + id;
  return resolveUri(md, uri.data(), length(uri), &out.head);
}

struct Console {
  ConsoleContext context;

  // The caller, its interface, and the same refusal /v1/operations gives a request without a
  // login when the repository requires one.
  bool open(const httplib::Request& req, httplib::Response& res, Principal& principal,
            OpenInterface& out) {
    std::string userId;
    if (!context.caller(req, res, principal, userId)) return false;
    if (userId.empty() && context.repository.security().setting("requireLogin") == "true") {
      answerError(res, 401, kStatusLoginRequired, "the repository requires a login: log in first");
      return false;
    }
    out.md = openInterface(context.repository, Credentials{userId, ""}, principal);
    if (!out.md) {
      answerError(res, 503, kStatusStorageFailure, "the repository could not be opened");
      return false;
    }
    return true;
  }

  void finish(httplib::Response& res, StatusCode status, const OpenInterface& md, json out) {
    out["status"] = status;
    if (status != kStatusOk) out["error"] = md.lastError();
    answer(res, 200, out);
  }

  void login(const httplib::Request& req, httplib::Response& res) {
    // A form of another site can post text, never JSON: without this it could log the browser
    // in as someone else's user (the cookie would be set on this site).
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
      answerError(res, 415, kStatusInvalidArgument,
                  "console login: the body must be sent as application/json");
      return;
    }
    std::string token, user;
    if (!context.login(req, res, token, user)) return;
    res.set_header("Set-Cookie", sessionCookie(token, context.sessionLifetimeSeconds));
    answer(res, 200, {{"user", user}, {"csrf", csrfTokenOf(token)}});
  }

  void logout(const httplib::Request& req, httplib::Response& res) {
    CookieSession cookie = cookieSessionOf(req);
    if (!cookie.refusal.empty()) {
      answerError(res, 403, kStatusLoginRequired, cookie.refusal);
      return;
    }
    if (!cookie.token.empty()) context.logout(cookie.token);
    res.set_header("Set-Cookie", sessionCookie("", 0));
    answer(res, 200, {{"status", 0}});
  }

  void session(const httplib::Request& req, httplib::Response& res) {
    Principal principal;
    std::string userId;
    if (!context.caller(req, res, principal, userId)) return;
    json out = {{"user", userId}, {"identity", principal.identityId},
                {"authenticated", !userId.empty()}};
    const CookieSession cookie = cookieSessionOf(req);
    if (!cookie.token.empty() && !userId.empty()) out["csrf"] = csrfTokenOf(cookie.token);
    answer(res, 200, out);
  }

  // {target, permission, identity?}: why the permission is granted or denied.
  void explain(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "explain", a)) return;
    const std::string target = a.text("target"), permission = a.text("permission"),
                      identity = a.text("identity", false);
    if (!a.problem.empty()) return answerError(res, 400, kStatusInvalidArgument, "explain: " + a.problem);
    Principal principal;
    OpenInterface md;
    if (!open(req, res, principal, md)) return;
    AccessExplanation explanation;
    const Outcome outcome =
        explainAccess(context.repository, principal, target, permission, identity, explanation);
    json out = {{"status", outcome.status}};
    if (!outcome.ok()) {
      out["error"] = outcome.message;
      return answer(res, 200, out);
    }
    json steps = json::array();
    for (const ExplanationStep& step : explanation.steps) {
      steps.push_back({{"level", step.level}, {"source", step.source},
                       {"sourceName", step.sourceName}, {"identity", step.identity},
                       {"identityName", step.identityName}, {"permission", step.permission},
                       {"grant", step.grant}, {"role", step.role}});
    }
    out["granted"] = explanation.granted;
    out["target"] = explanation.target;
    out["summary"] = explanation.summary;
    out["steps"] = steps;
    out["lines"] = explanationLines(explanation);
    answer(res, 200, out);
  }

  // {repository}: where each template of the repository is applied, among the repositories
  // and objects the caller may read (templates the caller may not read are left out as the
  // interface's template listing leaves them out).
  void applications(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "template applications", a)) return;
    const std::string repository = a.text("repository");
    if (!a.problem.empty()) {
      return answerError(res, 400, kStatusInvalidArgument, "template applications: " + a.problem);
    }
    Principal principal;
    OpenInterface md;
    if (!open(req, res, principal, md)) return;
    Handle handle;
    StatusCode status = resolveTarget(md.md, repository, "", handle);
    std::set<std::string> visibleTemplates;
    if (status == kStatusOk) {
      ActEntry* acts = nullptr;  // the interface's: freed with it
      status = repoListActs(handle.head, nullptr, 0, &acts);
      for (ActEntry* e = acts; status == kStatusOk && e; e = e->next) {
        visibleTemplates.insert(textOf(e->texts[0]));
      }
    }
    json list = json::array();
    if (status != kStatusOk) return finish(res, status, md, {{"applications", list}});
    // The candidates: the repositories and the objects with levels of their own, as far as the
    // caller may read them (the readable set the decision function produced decides).
    SecurityStore& store = context.repository.security();
    std::vector<std::string> repositoryIds;
    for (const RepositoryInfo& info : context.repository.repositories()) {
      repositoryIds.push_back(info.id);
    }
    ReadableSet readable;
    Outcome read = readableSet(store, principal, repositoryIds, readable);
    std::vector<std::pair<std::string, std::string>> objects;
    if (read.ok()) read = store.objectsWithOwnLevels(objects);
    if (!read.ok()) return answer(res, 200, {{"status", read.status}, {"error", read.message}});
    std::vector<std::pair<std::string, std::string>> targets;
    for (const RepositoryInfo& info : context.repository.repositories()) {
      if (readable.repositoryReadable(info.id)) targets.emplace_back(info.id, "Repository");
    }
    for (auto& object : objects) {
      if (readable.permits(object.first)) targets.push_back(std::move(object));
    }
    for (const auto& [id, type] : targets) {
      std::vector<std::string> applied;
      read = store.applications(id, applied);
      if (!read.ok()) return answer(res, 200, {{"status", read.status}, {"error", read.message}});
      for (const std::string& templateId : applied) {
        if (!visibleTemplates.count(templateId)) continue;
        std::string name = id;
        if (type == "Repository") {
          if (auto info = context.repository.repositoryByReference(id)) name = info->name;
        } else if (auto row = context.repository.object(id)) {
          name = row->name;
        }
        list.push_back({{"template", templateId}, {"id", id}, {"type", type}, {"name", name}});
      }
    }
    finish(res, status, md, {{"applications", list}});
  }

  // Reading the trail and the reverse questions: the same entry points mdhost uses, for the
  // request's principal; they decide (and record a refusal) themselves.
  static size_t limitOf(const json& body, size_t fallback) {
    auto found = body.find("limit");
    if (found == body.end() || !found->is_number_unsigned()) return fallback;
    return found->get<size_t>();
  }

  // {since?, user?, object?, outcome?, after?, limit?}: the records the caller may see.
  void audit(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "audit", a)) return;
    AuditFilter filter;
    filter.userId = a.text("user", false);
    filter.target = a.text("object", false);
    filter.outcome = a.text("outcome", false);
    for (const char* number : {"since", "after"}) {
      auto found = a.body.find(number);
      if (found == a.body.end()) continue;
      if (!found->is_number_integer()) {
        return answerError(res, 400, kStatusInvalidArgument,
                           std::string("audit: argument '") + number + "' is not a whole number");
      }
      (std::string_view(number) == "since" ? filter.since : filter.afterKey) =
          found->get<int64_t>();
    }
    filter.limit = limitOf(a.body, 100);
    if (!a.problem.empty()) return answerError(res, 400, kStatusInvalidArgument, "audit: " + a.problem);
    Principal principal;
    std::string userId;
    if (!context.caller(req, res, principal, userId)) return;
    std::vector<AuditRecord> records;
    bool more = false;
    const Outcome outcome = readAuditTrail(context.repository, principal, filter, records, &more);
    json out = {{"status", outcome.status}};
    if (!outcome.ok()) {
      out["error"] = outcome.message;
      return answer(res, 200, out);
    }
    json list = json::array();
    for (const AuditRecord& r : records) {
      list.push_back({{"key", r.key}, {"time", auditTimeText(r.time)},
                      {"lastTime", auditTimeText(r.lastTime)}, {"timeMs", r.time},
                      {"lastTimeMs", r.lastTime}, {"count", r.count},
                      {"repository", r.repositoryId}, {"user", r.userId},
                      {"identity", r.identityId}, {"operation", r.operation},
                      {"target", r.target}, {"permission", r.permission},
                      {"outcome", r.outcome}, {"code", r.status},
                      {"decidingEntry", r.decidingEntry}, {"decidingLevel", r.decidingLevel},
                      {"decision", r.decision}, {"changeCount", r.changeCount}});
    }
    out["records"] = list;
    out["more"] = more;
    answer(res, 200, out);
  }

  // {target, permission, cursor?, limit?}: every identity holding the permission on the target.
  void who(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "who", a)) return;
    const std::string target = a.text("target"), permission = a.text("permission");
    PageRequest page{a.text("cursor", false), limitOf(a.body, 100)};
    if (!a.problem.empty()) return answerError(res, 400, kStatusInvalidArgument, "who: " + a.problem);
    Principal principal;
    std::string userId;
    if (!context.caller(req, res, principal, userId)) return;
    WhoPage found;
    const Outcome outcome = whoMay(context.repository, principal, target, permission, page, found);
    json out = {{"status", outcome.status}};
    if (!outcome.ok()) {
      out["error"] = outcome.message;
      return answer(res, 200, out);
    }
    json list = json::array();
    for (const WhoAnswer& w : found.answers) {
      list.push_back({{"id", w.identityId}, {"name", w.identityName}, {"type", w.identityType},
                      {"decision", w.decision}, {"decidingEntry", w.decidingEntry},
                      {"decidingLevel", w.decidingLevel}});
    }
    out["target"] = found.target;
    out["permission"] = found.permission;
    out["identities"] = list;
    out["cursor"] = found.nextCursor;
    answer(res, 200, out);
  }

  // {identity?, permission, type?, cursor?, limit?}: every object the identity may use it on.
  void what(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "what", a)) return;
    const std::string identity = a.text("identity", false), permission = a.text("permission"),
                      type = a.text("type", false);
    PageRequest page{a.text("cursor", false), limitOf(a.body, 100)};
    if (!a.problem.empty()) return answerError(res, 400, kStatusInvalidArgument, "what: " + a.problem);
    Principal principal;
    std::string userId;
    if (!context.caller(req, res, principal, userId)) return;
    WhatPage found;
    const Outcome outcome =
        whatMay(context.repository, principal, identity, permission, type, page, found);
    json out = {{"status", outcome.status}};
    if (!outcome.ok()) {
      out["error"] = outcome.message;
      return answer(res, 200, out);
    }
    json list = json::array();
    for (const ObjectRow& o : found.objects) {
      list.push_back({{"id", o.id}, {"type", o.type}, {"name", o.name}});
    }
    out["identity"] = found.identityId;
    out["objects"] = list;
    out["cursor"] = found.nextCursor;
    answer(res, 200, out);
  }
};

void serveAsset(const httplib::Request& req, httplib::Response& res) {
  std::string path = req.path;
  if (path == "/console/" || path == "/console") path = "/console/index.html";
  const ConsoleAsset* asset = findConsoleAsset(path.substr(std::string_view("/console/").size()));
  if (!asset) {
    answerError(res, 404, kStatusInvalidArgument, "no such page");
    return;
  }
  res.status = 200;
  res.set_content(reinterpret_cast<const char*>(asset->bytes), asset->size, asset->contentType);
}

}  // namespace

std::string csrfTokenOf(const std::string& sessionToken) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const std::string input = "mdserver console request token\n" + sessionToken;
  if (EVP_Digest(input.data(), input.size(), digest, &size, EVP_sha256(), nullptr) != 1) return {};
  return hex(digest, size);
}

CookieSession cookieSessionOf(const httplib::Request& req) {
  CookieSession out;
  out.token = cookieValue(req, kSessionCookie);
  if (out.token.empty() || req.method == "GET" || req.method == "HEAD") return out;
  const std::string expected = csrfTokenOf(out.token);
  if (expected.empty() || !sameText(req.get_header_value(kCsrfHeader), expected)) {
    out.token.clear();
    out.refusal = "a change made with the session cookie needs the request token in the " +
                  std::string(kCsrfHeader) + " header";
  }
  return out;
}

void addSecurityHeaders(httplib::Response& res) {
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                 "connect-src 'self'; base-uri 'none'; form-action 'self'; "
                 "frame-ancestors 'none'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Cache-Control", "no-store");
}

void installConsoleRoutes(httplib::SSLServer& server, ConsoleContext context) {
  auto console = std::make_shared<Console>(Console{std::move(context)});
  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/console/");
  });
  server.Get("/console", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/console/");
  });
  server.Get(R"(/console/([a-z0-9_-]+\.(html|js|css|svg))?)", serveAsset);
  server.Post("/v1/console/login", [console](const httplib::Request& req, httplib::Response& res) {
    console->login(req, res);
  });
  server.Post("/v1/console/logout", [console](const httplib::Request& req, httplib::Response& res) {
    console->logout(req, res);
  });
  server.Get("/v1/console/session", [console](const httplib::Request& req, httplib::Response& res) {
    console->session(req, res);
  });
  server.Post("/v1/access/explain", [console](const httplib::Request& req, httplib::Response& res) {
    console->explain(req, res);
  });
  server.Post("/v1/audit", [console](const httplib::Request& req, httplib::Response& res) {
    console->audit(req, res);
  });
  server.Post("/v1/who", [console](const httplib::Request& req, httplib::Response& res) {
    console->who(req, res);
  });
  server.Post("/v1/what", [console](const httplib::Request& req, httplib::Response& res) {
    console->what(req, res);
  });
  server.Post("/v1/templates/applications",
              [console](const httplib::Request& req, httplib::Response& res) {
                console->applications(req, res);
              });
}

}  // namespace mdserver_net
