// The web console's routes and browser sessions; contract in console_routes.h.
#include "server/console_routes.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>
#include <string_view>

#include "mdaccess/md_abi.h"
#include "mdserver/access/access_explanation.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/readable_set.h"
#include "mdserver/security/security_model.h"
#include "mdserver/security/security_store.h"
#include "server/console_assets.h"
#include "server/session_store.h"

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

const char* decisionOfCode(int32_t code) {
  switch (code) {
    case kCodeEffective + kCodeGrant: return "granted";
    case kCodeEffective + kCodeDeny: return "denied";
    case kCodeEffective: return "no entry";
    case kCodeGrant: return "grant";
    case kCodeDeny: return "deny";
    case kCodeDerived + kCodeGrant: return "inherited grant";
    case kCodeDerived + kCodeDeny: return "inherited deny";
  }
  return "?";
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
    if (!cookie.token.empty()) context.sessions.remove(cookie.token);
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

  // {target, type?, view?, permission?}: the authorization listing of a repository or object.
  void listAccess(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "access", a)) return;
    const std::string target = a.text("target"), type = a.text("type", false),
                      viewName = a.text("view", false), permission = a.text("permission", false);
    if (!a.problem.empty()) return answerError(res, 400, kStatusInvalidArgument, "access: " + a.problem);
    int32_t view = kViewEffective;
    if (viewName == "explicit") view = kViewExplicit;
    else if (viewName == "bearing") view = kViewBearing;
    else if (!viewName.empty() && viewName != "effective") {
      return answerError(res, 400, kStatusInvalidArgument,
                         "access: view '" + viewName + "' is none of effective, explicit, bearing");
    }
    Principal principal;
    OpenInterface md;
    if (!open(req, res, principal, md)) return;
    Handle handle;
    StatusCode status = resolveTarget(md.md, target, type, handle);
    json rows = json::array();
    if (status == kStatusOk) {
      AuthorizationEntry* list = nullptr;
      status = repoListAuthorizations(handle.head, nullptr, view, nullptr, permission.data(),
                                      length(permission), &list);
      for (AuthorizationEntry* e = list; e; e = e->next) {
        rows.push_back({{"identity",
                         {{"name", e->identity ? textOf(e->identity->texts[0]) : ""},
                          {"type", e->identity ? textOf(e->identity->texts[1]) : ""},
                          {"id", e->identity ? textOf(e->identity->texts[2]) : ""}}},
                        {"code", e->code},
                        {"decision", decisionOfCode(e->code)},
                        {"permission", textOf(e->permission)},
                        {"source", textOf(e->condition)}});
      }
      if (list) releaseAuthorizations(md.md, list);
    }
    finish(res, status, md, {{"entries", rows}});
  }

  // {target, type?, identity, identityType?, permission, decision: grant|deny|remove}
  void setAccess(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "access change", a)) return;
    const std::string target = a.text("target"), type = a.text("type", false),
                      identity = a.text("identity"), identityType = a.text("identityType", false),
                      permission = a.text("permission"), decision = a.text("decision");
    if (!a.problem.empty()) {
      return answerError(res, 400, kStatusInvalidArgument, "access change: " + a.problem);
    }
    const int32_t grantCode = decision == "grant"  ? kGrantCodeGrant
                              : decision == "deny" ? kGrantCodeDeny
                              : decision == "remove" ? kGrantCodeRemove
                                                     : -1;
    if (grantCode < 0) {
      return answerError(res, 400, kStatusInvalidArgument,
                         "access change: decision '" + decision + "' is none of grant, deny, remove");
    }
    Principal principal;
    OpenInterface md;
    if (!open(req, res, principal, md)) return;
    Handle handle;
    StatusCode status = resolveTarget(md.md, target, type, handle);
    if (status == kStatusOk) {
      IdentityPairRecord pair{identity.data(), length(identity), 0, identityType.data(),
                              length(identityType), 0, nullptr};
      AuthorizationRequest request{};
      request.identity = &pair;
      request.grantCode = grantCode;
      request.permission = permission.data();
      request.permissionLength = length(permission);
      status = repoSetAuthorization(handle.head, nullptr, 0, &request);
    }
    finish(res, status, md, json::object());
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

  // {repository}: the identities of a repository (built-ins first).
  void identities(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "identities", a)) return;
    const std::string repository = a.text("repository");
    if (!a.problem.empty()) return answerError(res, 400, kStatusInvalidArgument, "identities: " + a.problem);
    Principal principal;
    OpenInterface md;
    if (!open(req, res, principal, md)) return;
    Handle handle;
    StatusCode status = resolveTarget(md.md, repository, "", handle);
    json list = json::array();
    if (status == kStatusOk) {
      IdentityEntry* entries = nullptr;
      status = repoListIdentities(handle.head, nullptr, 0, &entries);
      for (IdentityEntry* e = entries; e; e = e->next) {
        list.push_back({{"name", textOf(e->texts[0])}, {"type", textOf(e->texts[1])},
                        {"id", textOf(e->texts[2])}});
      }
    }
    finish(res, status, md, {{"identities", list}});
  }

  // {repository}: its templates, each with where it is applied among what the caller may read.
  void templates(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "templates", a)) return;
    const std::string repository = a.text("repository");
    if (!a.problem.empty()) return answerError(res, 400, kStatusInvalidArgument, "templates: " + a.problem);
    Principal principal;
    OpenInterface md;
    if (!open(req, res, principal, md)) return;
    Handle handle;
    StatusCode status = resolveTarget(md.md, repository, "", handle);
    json list = json::array();
    if (status == kStatusOk) {
      ActEntry* acts = nullptr;
      status = repoListActs(handle.head, nullptr, 0, &acts);
      for (ActEntry* e = acts; status == kStatusOk && e; e = e->next) {
        list.push_back({{"id", textOf(e->texts[0])}, {"name", textOf(e->texts[1])},
                        {"description", textOf(e->texts[2])},
                        {"repository", textOf(e->texts[4])}, {"appliedTo", json::array()}});
      }
    }
    if (status == kStatusOk && !list.empty()) {
      // Where each is applied: the repositories and the objects with levels of their own, as
      // far as the caller may read them (the listing's own filter decides, nothing else).
      ReadableSet readable;
      SecurityStore& store = context.repository.security();
      std::vector<std::string> repositoryIds;
      for (const RepositoryInfo& info : context.repository.repositories()) {
        repositoryIds.push_back(info.id);
      }
      Outcome computed = readableSet(store, principal, repositoryIds, readable);
      std::vector<std::pair<std::string, std::string>> targets;
      for (const RepositoryInfo& info : context.repository.repositories()) {
        if (readable.repositoryReadable(info.id)) targets.emplace_back(info.id, "Repository");
      }
      std::vector<std::pair<std::string, std::string>> objects;
      if (computed.ok()) computed = store.objectsWithOwnLevels(objects);
      if (!computed.ok()) {
        return answer(res, 200, {{"status", computed.status}, {"error", computed.message}});
      }
      for (auto& object : objects) {
        if (readable.permits(object.first)) targets.push_back(std::move(object));
      }
      for (const auto& [id, type] : targets) {
        std::vector<std::string> applied;
        Outcome read = store.applications(id, applied);
        if (!read.ok()) return answer(res, 200, {{"status", read.status}, {"error", read.message}});
        for (const std::string& templateId : applied) {
          for (json& t : list) {
            if (t["id"] != templateId) continue;
            std::string name = id;
            if (type == "Repository") {
              if (auto info = context.repository.repositoryByReference(id)) name = info->name;
            } else if (auto row = context.repository.object(id)) {
              name = row->name;
            }
            t["appliedTo"].push_back({{"id", id}, {"type", type}, {"name", name}});
          }
        }
      }
    }
    finish(res, status, md, {{"templates", list}});
  }

  // {target, type?, template, remove?}: applies a template to a repository or object, or
  // removes it there.
  void applyTemplate(const httplib::Request& req, httplib::Response& res) {
    Arguments a;
    if (!parseArguments(req, res, "template application", a)) return;
    const std::string target = a.text("target"), type = a.text("type", false),
                      name = a.text("template");
    auto removeFlag = a.body.find("remove");
    if (a.problem.empty() && removeFlag != a.body.end() && !removeFlag->is_boolean()) {
      a.problem = "argument 'remove' is not true or false";
    }
    if (!a.problem.empty()) {
      return answerError(res, 400, kStatusInvalidArgument, "template application: " + a.problem);
    }
    const bool remove = removeFlag != a.body.end() && removeFlag->get<bool>();
    Principal principal;
    OpenInterface md;
    if (!open(req, res, principal, md)) return;
    Handle handle;
    StatusCode status = resolveTarget(md.md, target, type, handle);
    if (status == kStatusOk) {
      // The reference is a copy the interface may keep in its pool for the call.
      std::string copy = name;
      ActReference reference{};
      reference.text = copy.data();
      reference.length = length(copy);
      status = remove ? repoRemoveAct(handle.head, nullptr, 0, &reference)
                      : repoApplyAct(handle.head, nullptr, 0, &reference);
    }
    finish(res, status, md, json::object());
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
  server.Post("/v1/access/list", [console](const httplib::Request& req, httplib::Response& res) {
    console->listAccess(req, res);
  });
  server.Post("/v1/access/set", [console](const httplib::Request& req, httplib::Response& res) {
    console->setAccess(req, res);
  });
  server.Post("/v1/access/explain", [console](const httplib::Request& req, httplib::Response& res) {
    console->explain(req, res);
  });
  server.Post("/v1/identities", [console](const httplib::Request& req, httplib::Response& res) {
    console->identities(req, res);
  });
  server.Post("/v1/templates/list", [console](const httplib::Request& req, httplib::Response& res) {
    console->templates(req, res);
  });
  server.Post("/v1/templates/apply", [console](const httplib::Request& req, httplib::Response& res) {
    console->applyTemplate(req, res);
  });
}

}  // namespace mdserver_net
