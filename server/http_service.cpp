#include "server/http_service.h"

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <algorithm>
#include <cstdio>
#include <random>
#include <nlohmann/json.hpp>

#include "mdserver/access/audit_trail.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/security_store.h"
#include "mdserver/security/authentication.h"
#include "server/console_routes.h"
#include "server/operations.h"
#include "server/session_store.h"
#include "server/transaction_state.h"

namespace mdserver_net {
namespace {

using nlohmann::json;
using namespace mdserver;  // status codes

// Who a request acts for, and how it came to (for the log).
struct Caller {
  bool refused = false;         // a token was given but is no good: HTTP 401
  int refusalHttpStatus = 401;  // 403: a browser change without its request token
  std::string refusal;
  mdserver::Principal principal;
  std::string userId;           // empty: Everybody
  std::string token;            // the session's token, when there is one
  std::string transactions;     // the session's security transactions, saved
  std::string tokenDigest;      // SessionStore::digest(token): the session's key, made once
  SessionRecord session;
};

void answer(httplib::Response& res, int httpStatus, const json& body) {
  res.status = httpStatus;
  res.set_content(body.dump(), "application/json");
}

void answerError(httplib::Response& res, int httpStatus, StatusCode status,
                 const std::string& error) {
  answer(res, httpStatus, {{"status", status}, {"error", error}});
}

std::string bearerToken(const httplib::Request& req) {
  const std::string header = req.get_header_value("Authorization");
  constexpr std::string_view kScheme = "Bearer ";
  if (header.size() > kScheme.size() && header.compare(0, kScheme.size(), kScheme) == 0) {
    return header.substr(kScheme.size());
  }
  return {};
}

// The socket of the connection this worker thread serves. The HTTP library serves each
// connection on one worker thread from its TLS handshake to its end, and names the socket to no
// handler: it is taken at the end of each handshake (the TLS context's info callback, run on
// that thread), and checked against the first request's peer before it is used.
thread_local int servedSocket = -1;
thread_local bool servedSocketChecked = false;

void noteHandshake(const SSL* ssl, int where, int) {
  if (where & SSL_CB_HANDSHAKE_DONE) {
    servedSocket = SSL_get_fd(ssl);
    servedSocketChecked = false;
  }
}

// An answer leaves as its header record and then its body record. Held together (TCP_CORK
// from before the first write until after the last), they reach the client in one segment it
// reads at once, instead of two it wakes up for apart.
void holdAnswer(const httplib::Request& req) {
  if (servedSocket < 0) return;
  if (!servedSocketChecked) {
    servedSocketChecked = true;
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    int port = -1;
    if (::getpeername(servedSocket, reinterpret_cast<sockaddr*>(&peer), &size) == 0) {
      if (peer.ss_family == AF_INET) port = ntohs(reinterpret_cast<sockaddr_in&>(peer).sin_port);
      if (peer.ss_family == AF_INET6) port = ntohs(reinterpret_cast<sockaddr_in6&>(peer).sin6_port);
    }
    if (port != req.remote_port) servedSocket = -1;  // not this request's connection: leave it
  }
  if (servedSocket < 0) return;
  const int on = 1;
  ::setsockopt(servedSocket, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

void sendAnswer() {
  if (servedSocket < 0) return;
  const int off = 0;
  ::setsockopt(servedSocket, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
}

// A name for this process, different on every start: clients see a restart by it.
std::string randomInstanceName() {
  std::random_device device;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", device(), device());
  return text;
}

}  // namespace

// An interface kept for a session between its requests: what it keeps (the principal's readable
// set, its decisions) is valid while the repository's change count stands, and computing it anew
// for every request would cost a walk of the repository each time. A cache, not state: any
// server rebuilds it from the database, and the session's transactions are read back into it at
// every request. One request at a time uses an interface (its own lock).
struct KeptInterface {
  std::mutex inUse;
  MetadataInterface* md = nullptr;
  uint64_t lastUsed = 0;
  uint64_t loginCheckedAt = 0;  // the repository's change count when the login was last seen
  ~KeptInterface() {
    if (md) releaseInterface(md);
  }
};

struct HttpService::Impl {
  mdserver::Repository& repository;
  SessionStore& sessions;
  ServiceOptions options;
  std::function<void(const std::string&)> log;
  std::unique_ptr<httplib::SSLServer> server;
  int port = 0;
  std::atomic<uint64_t> requests{0};
  std::string instance = randomInstanceName();
  LoginThrottle throttle;
  static constexpr size_t kKeptInterfaces = 256;
  std::mutex keptMutex;
  std::unordered_map<std::string, std::shared_ptr<KeptInterface>> kept;
  uint64_t useCounter = 0;

  // The kept interface of a session (key: its token's digest; "" for requests without a login,
  // which all act for Everybody), opened when missing; the least recently used one goes when
  // there are too many.
  // Null when the session's memberships cannot be read.
  std::shared_ptr<KeptInterface> interfaceFor(const std::string& key, const Caller& caller) {
    std::lock_guard lock(keptMutex);
    std::shared_ptr<KeptInterface>& slot = kept[key];
    if (!slot) {
      mdserver::Principal principal = caller.principal;
      if (!caller.userId.empty() && !principalOfSession(caller.session, principal, true)) {
        kept.erase(key);
        return nullptr;
      }
      slot = std::make_shared<KeptInterface>();
      slot->md = mdserver::openInterface(
          repository, mdserver::Credentials{caller.userId, ""}, principal);
      if (kept.size() > kKeptInterfaces) {
        auto oldest = kept.end();
        for (auto it = kept.begin(); it != kept.end(); ++it) {
          if (it->second != slot &&
              (oldest == kept.end() || it->second->lastUsed < oldest->second->lastUsed)) {
            oldest = it;
          }
        }
        if (oldest != kept.end()) kept.erase(oldest);  // freed when its last user is done
      }
    }
    slot->lastUsed = ++useCounter;
    return slot;
  }
  void forget(const std::string& token) {
    std::lock_guard lock(keptMutex);
    kept.erase(SessionStore::digest(token));
  }

  Impl(mdserver::Repository& r, SessionStore& s, ServiceOptions o,
       std::function<void(const std::string&)> l)
      : repository(r), sessions(s), options(std::move(o)), log(std::move(l)),
        throttle(options.loginThrottle) {}

  // Whether the repository requires a login, as it stood at the change count `count` or later:
  // the setting is read again whenever the count moved (changing it changes the count), so a
  // request never decides on a setting older than the count it read. Count 0 (unknown): read.
  std::mutex requireLoginMutex;
  uint64_t requireLoginCount = 0;
  bool requireLoginValue = true;
  bool requiresLogin(uint64_t count) {
    {
      std::lock_guard lock(requireLoginMutex);
      if (count != 0 && count == requireLoginCount) return requireLoginValue;
    }
    // Read after the count: the value is at least as new as the count it is kept for.
    const bool required = repository.security().setting("requireLogin") == "true";
    std::lock_guard lock(requireLoginMutex);
    requireLoginCount = count;
    requireLoginValue = required;
    return required;
  }

  void note(const std::string& line) {
    if (log) log(line);
  }

  // The principal of a live session: the login must still exist and its owner be the identity
  // the session was opened for; memberships are read as they are now.
  // memberships false: only the login is checked (a kept interface reads the memberships
  // itself whenever the repository changed), and out holds the user and identity alone.
  bool principalOfSession(const SessionRecord& session, mdserver::Principal& out,
                          bool memberships) {
    mdserver::SecurityStore& store = repository.security();
    std::optional<mdserver::LoginRecord> login;
    if (!store.findLogin(session.userId, login).ok() || !login) return false;
    if (login->ownerId != session.identityId) return false;
    if (!memberships) {
      out = mdserver::Principal{};
      out.userId = session.userId;
      out.identityId = session.identityId;
      return true;
    }
    bool complete = true;
    out = mdserver::principalOf(store, mdserver::IdentityRecord{session.identityId, "", "", ""},
                                /*authenticated=*/true, &complete);
    out.userId = session.userId;
    return complete && out.failure.ok();
  }

  // checkLogin false: the session's row alone is read (the caller checks its login itself).
  // changeCount (when given): the repository's change count, read with the session's row where
  // that saves a round trip; 0 when it was not read.
  Caller callerOf(const httplib::Request& req, bool memberships = true, bool checkLogin = true,
                  uint64_t* changeCount = nullptr) {
    Caller caller;
    std::string token = bearerToken(req);
    if (token.empty() && !req.has_header("Authorization")) {
      // A page of the web console carries its session in a cookie (console_routes.h).
      CookieSession cookie = cookieSessionOf(req);
      if (!cookie.refusal.empty()) {
        caller.refused = true;
        caller.refusalHttpStatus = 403;
        caller.refusal = cookie.refusal;
        return caller;
      }
      token = cookie.token;
    }
    if (token.empty() && !req.has_header("Authorization")) {
      caller.principal.identities.insert(std::string(mdserver::kEverybodyId));
      return caller;
    }
    caller.tokenDigest = SessionStore::digest(token);
    std::optional<SessionRecord> session =
        changeCount ? sessions.findWithChangeCount(token, caller.tokenDigest, repository,
                                                   *changeCount)
                    : sessions.findByDigest(token, caller.tokenDigest);
    if (!session) {
      caller.refused = true;
      caller.refusal = "the session token is unknown or has expired: log in again";
      return caller;
    }
    caller.session = *session;
    if (!checkLogin) {
      caller.principal.userId = session->userId;
      caller.principal.identityId = session->identityId;
    } else if (!principalOfSession(*session, caller.principal, memberships)) {
      caller.refused = true;
      caller.refusal = "the session's login is gone or its memberships cannot be read: log in again";
      return caller;
    }
    caller.userId = session->userId;
    caller.token = token;
    caller.transactions = session->transactions;
    return caller;
  }

  bool refuse(const Caller& caller, httplib::Response& res) {
    if (!caller.refused) return false;
    answerError(res, caller.refusalHttpStatus, kStatusLoginRequired, caller.refusal);
    return true;
  }

  void login(const httplib::Request& req, httplib::Response& res) {
    std::string token, user;
    if (!startSession(req, res, token, user)) return;
    answer(res, 200, {{"token", token}, {"user", user},
                      {"expiresAt", SessionStore::now() + options.sessionLifetimeSeconds}});
  }

  // Checks the user and password of a login body and stores a new session; false when it
  // answered a failure.
  bool startSession(const httplib::Request& req, httplib::Response& res, std::string& tokenOut,
                    std::string& userOut) {
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("user") ||
        !body["user"].is_string() || !body.contains("password") ||
        !body["password"].is_string()) {
      answerError(res, 400, kStatusInvalidArgument,
                  "login: the body must be a JSON object with texts \"user\" and \"password\"");
      return false;
    }
    const std::string user = body["user"].get<std::string>();
    if (user.empty()) {
      answerError(res, 400, kStatusInvalidArgument, "login: \"user\" is empty");
      return false;
    }
    // Guessing is slowed before the password is looked at: a refused attempt costs no check
    // and tells nothing about the password or whether the user exists.
    const std::chrono::seconds wait = throttle.admit(user, req.remote_addr);
    if (wait.count() > 0) {
      res.set_header("Retry-After", std::to_string(wait.count()));
      answerError(res, 429, mdserver::kStatusLoginFailed,
                  "login: too many failed logins for user '" + user +
                      "' from this address: try again in " + std::to_string(wait.count()) +
                      " s");
      return false;
    }
    // Recorded in the audit trail, success or failure (never the password), as mdhost's are.
    mdserver::Authentication checked =
        mdserver::authenticateAudited(repository, user, body["password"].get<std::string>());
    if (!checked.outcome.ok()) {
      if (checked.outcome.status == mdserver::kStatusLoginFailed) {
        throttle.failed(user, req.remote_addr);
      }
      answerError(res, 401, checked.outcome.status, checked.outcome.message);
      return false;
    }
    throttle.succeeded(user, req.remote_addr);
    SessionRecord record;
    record.userId = checked.principal.userId;
    record.identityId = checked.principal.identityId;
    record.expiresAt = SessionStore::now() + options.sessionLifetimeSeconds;
    std::optional<std::string> token = sessions.create(record);
    if (!token) {
      answerError(res, 503, kStatusStorageFailure, "login: the session could not be stored");
      return false;
    }
    tokenOut = *token;
    userOut = record.userId;
    return true;
  }

  void operation(const httplib::Request& req, httplib::Response& res) {
    // The session's row is read at every request (a logout or an expiry anywhere counts at
    // once); its login only when the repository changed since it was last checked for the
    // session's kept interface, since a login goes only by a change of the repository.
    uint64_t count = 0;  // read for a login's check, and handed to the operation
    Caller caller = callerOf(req, /*memberships=*/false, /*checkLogin=*/false, &count);
    if (refuse(caller, res)) return;
    const std::string name = req.matches[1];
    if (!isServedOperation(name)) {
      answerError(res, 404, kStatusInvalidArgument, "no operation '" + name + "'");
      return;
    }
    json arguments = req.body.empty() ? json::object() : json::parse(req.body, nullptr, false);
    if (arguments.is_discarded()) {
      answerError(res, 400, kStatusInvalidArgument, name + ": the body is not JSON");
      return;
    }
    // A connection without a login still asks a repository that requires one: it is refused
    // there, as in-process.
    if (caller.userId.empty()) {
      count = repository.changeCount();  // handed to the operation, which would read it anyway
      if (requiresLogin(count)) {
        answerError(res, 401, kStatusLoginRequired,
                    "the repository requires a login: log in first");
        return;
      }
    }
    std::shared_ptr<KeptInterface> keptInterface =
        interfaceFor(caller.token.empty() ? std::string() : caller.tokenDigest, caller);
    if (!keptInterface) {
      answerError(res, 401, kStatusLoginRequired,
                  "the session's memberships cannot be read: log in again");
      return;
    }
    std::unique_lock inUse(keptInterface->inUse, std::try_to_lock);
    if (!inUse.owns_lock()) {
      // Another request of the session was running: the count read with the session's row may
      // be older than that request's end, and the operation must see at least what stood then.
      inUse.lock();
      count = 0;
    }
    if (!caller.userId.empty()) {
      if (count == 0) count = repository.changeCount();
      if (count == 0 || keptInterface->loginCheckedAt != count) {
        mdserver::Principal ignored;
        if (!principalOfSession(caller.session, ignored, false)) {
          answerError(res, 401, kStatusLoginRequired,
                      "the session's login is gone or its memberships cannot be read: log in "
                      "again");
          return;
        }
        keptInterface->loginCheckedAt = count;
      }
    }
    MetadataInterface* md = keptInterface->md;
    mdserver::TransactionBook& book = mdserver::ClientInterface::fromAbi(md)->transactions();
    if (!loadTransactions(caller.transactions, book)) {
      note("the security transactions of a session of user '" + caller.userId +
           "' could not be read; they are dropped");
    }
    // The operation takes the count just read instead of reading it again (a round trip on
    // PostgreSQL); one that never started (a bad argument, an injected fault) must not leave it
    // to the session's next request, which would then decide on this request's state.
    mdserver::ClientInterface* ci = mdserver::ClientInterface::fromAbi(md);
    ci->presetOperationChangeCount(count);
    json result = runOperation(md, name, arguments);
    ci->presetOperationChangeCount(0);
    if (!caller.token.empty()) {
      const std::string after = saveTransactions(book);
      if (after != caller.transactions) {
        const SaveResult saved =
            sessions.saveTransactions(caller.token, after, caller.session.transactionsVersion);
        if (saved == SaveResult::kChangedMeanwhile) {
          result = {{"status", kStatusStorageFailure},
                    {"error", name + ": another request of this session changed its security "
                                     "transactions at the same time; this change was not kept, "
                                     "repeat it"}};
        } else if (saved == SaveResult::kFailed) {
          result = {{"status", kStatusStorageFailure},
                    {"error", name + ": the session's security transactions could not be kept"}};
        }
      }
    }
    answer(res, 200, result);
  }

  // Import and export reach every repository: the caller needs Administer on each. A caller
  // without a login never administers the server, not even one that holds no repository yet
  // (where "every repository" would hold for anyone): an empty server is filled by its operator
  // on the database itself.
  bool administersAll(const Caller& caller, std::string* refusal) {
    if (caller.userId.empty()) {
      *refusal = "a request without a login may not administer the server";
      return false;
    }
    for (const mdserver::RepositoryInfo& info : repository.repositories()) {
      mdserver::Decision decision =
          mdserver::decide(repository.security(), caller.principal,
                           mdserver::repositoryTarget(info.id), mdserver::kPermissionAdminister);
      if (!decision.allowed) {
        *refusal = (caller.userId.empty() ? std::string("a request without a login")
                                          : "user '" + caller.userId + "'") +
                   " may not administer repository " + info.id;
        return false;
      }
    }
    return true;
  }

  // Answers 403 and returns true when the caller does not administer every repository.
  bool refuseUnlessAdministersAll(const Caller& caller, httplib::Response& res) {
    std::string refusal;
    if (administersAll(caller, &refusal)) return false;
    answerError(res, 403, kStatusAdministerDenied, refusal);
    return true;
  }

  // The seed is written to a temporary file first and then sent from it: memory follows one
  // object, not the repository, a failure is answered before anything was sent, and the counts
  // go ahead of the body in headers.
  void exportSeed(const httplib::Request& req, httplib::Response& res) {
    Caller caller = callerOf(req);
    if (refuse(caller, res) || refuseUnlessAdministersAll(caller, res)) return;
    std::shared_ptr<std::FILE> file(std::tmpfile(), [](std::FILE* f) {
      if (f) std::fclose(f);
    });
    if (!file) {
      answerError(res, 503, kStatusStorageFailure, "export: no temporary file for the seed");
      return;
    }
    mdserver::SeedExportSummary counts;
    try {
      repository.exportSeed(file.get(), &counts);
    } catch (const std::exception& failure) {
      answerError(res, 500, kStatusStorageFailure,
                  std::string("export: the repository cannot be written as a seed (") +
                      failure.what() + ")");
      return;
    }
    const long size = std::ftell(file.get());
    if (std::fflush(file.get()) != 0 || size < 0) {
      answerError(res, 503, kStatusStorageFailure, "export: the seed could not be written");
      return;
    }
    res.status = 200;
    res.set_header("X-Seed-Objects", std::to_string(counts.objects));
    res.set_header("X-Seed-Properties", std::to_string(counts.properties));
    res.set_header("X-Seed-Associations", std::to_string(counts.associations));
    res.set_content_provider(
        static_cast<size_t>(size), "application/json",
        [file](size_t offset, size_t length, httplib::DataSink& sink) {
          char buffer[64 * 1024];
          if (std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) != 0) return false;
          const size_t read = std::fread(buffer, 1, std::min(length, sizeof buffer), file.get());
          return read > 0 && sink.write(buffer, read);
        });
  }

  // Query: mode=add|replace|merge (default add), dryRun=true (check only, every problem
  // listed), name=NAME (how problems name the seed; default "request body").
  void importSeed(const httplib::Request& req, httplib::Response& res) {
    Caller caller = callerOf(req);
    if (refuse(caller, res) || refuseUnlessAdministersAll(caller, res)) return;
    mdserver::SeedImportOptions options;
    const std::string mode = req.get_param_value("mode");
    if (mode == "replace") {
      options.mode = mdserver::SeedMode::kReplace;
    } else if (mode == "merge") {
      options.mode = mdserver::SeedMode::kMerge;
    } else if (!mode.empty() && mode != "add") {
      answerError(res, 400, kStatusInvalidArgument,
                  "import: mode '" + mode + "' is none of add, replace, merge");
      return;
    }
    const std::string dryRun = req.get_param_value("dryRun");
    if (!dryRun.empty() && dryRun != "true" && dryRun != "false") {
      answerError(res, 400, kStatusInvalidArgument, "import: dryRun must be true or false");
      return;
    }
    options.dryRun = dryRun == "true";
    std::string name = req.get_param_value("name");
    if (name.empty() || name.size() > 200) name = "request body";
    mdserver::SeedReport report;
    mdserver::Outcome outcome = repository.importSeedText(req.body, name, options, &report);
    if (options.dryRun && report.problems.empty() && !outcome.ok()) {
      report.problems.push_back(outcome.message);
    }
    if (!outcome.ok() || !report.problems.empty()) {
      json body = {{"status", outcome.ok() ? kStatusInvalidArgument : outcome.status},
                   {"error", outcome.ok() ? report.problems.front() : outcome.message}};
      if (options.dryRun) body["problems"] = report.problems;
      answer(res, 422, body);
      return;
    }
    answer(res, 200, {{"status", 0},
                      {"dryRun", options.dryRun},
                      {"objects", report.summary.objects},
                      {"properties", report.summary.properties},
                      {"associations", report.summary.associations}});
  }

  void install() {
    httplib::SSLServer& s = *server;
    s.new_task_queue = [workers = options.workers] { return new httplib::ThreadPool(workers); };
    s.set_payload_max_length(options.maxRequestBytes);
    s.set_read_timeout(options.requestTimeoutSeconds, 0);
    s.set_write_timeout(options.requestTimeoutSeconds, 0);
    // An idle connection is closed after 5 s: a stopping server waits for its connections, so
    // this bounds how long SIGTERM takes. Many requests may share one connection (one TLS
    // handshake for a whole program).
    s.set_keep_alive_timeout(5);
    s.set_keep_alive_max_count(100000);
    // Answers are small and written in pieces: without this, Nagle's algorithm and the
    // client's delayed acknowledgement hold each answer back for tens of milliseconds.
    s.set_tcp_nodelay(true);

    s.Get("/v1/health", [this](const httplib::Request&, httplib::Response& res) {
      answer(res, 200, {{"status", "ok"}, {"backend", repository.backendName()}});
    });
    s.Post("/v1/login", [this](const httplib::Request& req, httplib::Response& res) {
      login(req, res);
    });
    s.Post("/v1/logout", [this](const httplib::Request& req, httplib::Response& res) {
      const std::string token = bearerToken(req);
      if (!token.empty()) {
        sessions.remove(token);
        forget(token);
      }
      answer(res, 200, {{"status", 0}});
    });
    s.Get("/v1/session", [this](const httplib::Request& req, httplib::Response& res) {
      Caller caller = callerOf(req);
      if (refuse(caller, res)) return;
      answer(res, 200, {{"user", caller.userId}, {"identity", caller.principal.identityId},
                        {"authenticated", !caller.userId.empty()}});
    });
    s.Get("/v1/operations", [](const httplib::Request&, httplib::Response& res) {
      answer(res, 200, {{"operations", servedOperations()}});
    });
    s.Post(R"(/v1/operations/([A-Za-z]+))",
           [this](const httplib::Request& req, httplib::Response& res) { operation(req, res); });
    s.Get("/v1/export", [this](const httplib::Request& req, httplib::Response& res) {
      exportSeed(req, res);
    });
    s.Post("/v1/import", [this](const httplib::Request& req, httplib::Response& res) {
      importSeed(req, res);
    });

    installConsoleRoutes(
        s, ConsoleContext{repository, options.sessionLifetimeSeconds,
                          [this](const httplib::Request& req, httplib::Response& res,
                                 mdserver::Principal& principal, std::string& userId) {
                            Caller caller = callerOf(req);
                            if (refuse(caller, res)) return false;
                            principal = caller.principal;
                            userId = caller.userId;
                            return true;
                          },
                          [this](const httplib::Request& req, httplib::Response& res,
                                 std::string& token, std::string& userId) {
                            return startSession(req, res, token, userId);
                          },
                          [this](const std::string& token) {
                            sessions.remove(token);
                            forget(token);
                          }});

    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
      // Only answers that carry no body of their own (unknown route, too large, ...).
      if (!res.body.empty()) return;
      const std::string reason = res.status == 413 ? "the request is larger than the server accepts"
                                 : res.status == 404 ? "no such route"
                                                     : "the request could not be served";
      answerError(res, res.status, kStatusInvalidArgument, reason);
    });
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                               std::exception_ptr) {
      answerError(res, 500, kStatusStorageFailure, "the server failed to answer the request");
    });
    s.set_post_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      holdAnswer(req);  // released by the logger, which runs once the answer is written
      res.set_header("X-Mdserver-Instance", instance);
      // The headers that guard pages (content policy, framing, sniffing, referrer) are for what
      // a browser may render: every answer without a bearer token, the console's included. A
      // program's request carries its token in a header no page can make a browser send, so its
      // answer is never rendered; it keeps no-store alone. The client's HTTP library reads
      // headers a byte at a time, so ~300 bytes of them were work on both sides for nothing.
      if (bearerToken(req).empty()) {
        addSecurityHeaders(res);
      } else {
        res.set_header("Cache-Control", "no-store");
      }
    });
    s.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
      sendAnswer();
      ++requests;
      // Method, path and outcome only: bodies carry passwords and headers carry tokens.
      note(req.remote_addr + " " + req.method + " " + req.path + " " +
           std::to_string(res.status));
    });
  }
};

HttpService::HttpService(mdserver::Repository& repository, SessionStore& sessions,
                         ServiceOptions options, std::function<void(const std::string&)> log)
    : impl_(std::make_unique<Impl>(repository, sessions, std::move(options), std::move(log))) {}

HttpService::~HttpService() = default;

bool HttpService::bind(std::string* error) {
  impl_->server = std::make_unique<httplib::SSLServer>(impl_->options.certificateFile.c_str(),
                                                       impl_->options.keyFile.c_str());
  if (!impl_->server->is_valid()) {
    *error = "cannot use the certificate " + impl_->options.certificateFile + " and key " +
             impl_->options.keyFile;
    return false;
  }
  SSL_CTX_set_info_callback(impl_->server->ssl_context(), noteHandshake);
  impl_->install();
  if (impl_->options.listenPort == 0) {
    impl_->port = impl_->server->bind_to_any_port(impl_->options.listenHost.c_str());
  } else if (impl_->server->bind_to_port(impl_->options.listenHost.c_str(),
                                         impl_->options.listenPort)) {
    impl_->port = impl_->options.listenPort;
  } else {
    impl_->port = -1;
  }
  if (impl_->port <= 0) {
    *error = "cannot listen on " + impl_->options.listenHost + ":" +
             std::to_string(impl_->options.listenPort);
    return false;
  }
  return true;
}

int HttpService::boundPort() const { return impl_->port; }
void HttpService::run() { impl_->server->listen_after_bind(); }
void HttpService::stop() {
  if (impl_->server) impl_->server->stop();
}
uint64_t HttpService::requestCount() const { return impl_->requests.load(); }

}  // namespace mdserver_net
