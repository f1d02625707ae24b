#include "runner/repository_service.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <filesystem>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "mdserver/access/audit_trail.h"
#include "host/remote_connection.h"
#include "host/remote_interface.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/authentication.h"
#include "mdserver/storage/database.h"
#include "runner/program_paths.h"
#include "runner/repository_files.h"

namespace runner {
namespace fs = std::filesystem;

struct RepositoryService::Impl {
  struct LiveInterface {
    HostSession* session;  // the session the host asked for it
    mdserver::ClientInterface* client;
  };

  std::unique_ptr<mdserver::Repository> repository;
  mdserver::Credentials credentials;
  // Logins are checked once per credentials: a password hash is slow on purpose.
  std::optional<mdserver::Authentication> defaultLogin;
  struct SessionLogin {
    mdserver::Credentials credentials;
    std::optional<mdserver::Authentication> login;
  };
  std::unordered_map<HostSession*, SessionLogin> sessionLogins;

  // The credentials and the checked login for a session's interfaces.
  std::pair<const mdserver::Credentials*, const mdserver::Authentication*> loginFor(
      HostSession* session) {
    if (auto found = sessionLogins.find(session); found != sessionLogins.end()) {
      SessionLogin& own = found->second;
      if (!own.login) {
        own.login = mdserver::authenticateAudited(*repository, own.credentials.user,
                                                  own.credentials.password);
      }
      return {&own.credentials, &*own.login};
    }
    if (!defaultLogin) {
      defaultLogin = mdserver::authenticateAudited(*repository, credentials.user,
                                                   credentials.password);
    }
    return {&credentials, &*defaultLogin};
  }
  std::unordered_map<MetadataInterface*, LiveInterface> live;

  // A network server instead of a repository of our own: one connection for the program's
  // login, one per session that logs in as another user (newsession{user=...}).
  std::string remoteLocation;
  std::string tlsCa;
  std::unique_ptr<refhost::RemoteConnection> remote;
  StatusCode remoteLogin = kStatusOk;
  std::string remoteLoginError;
  struct SessionConnection {
    std::unique_ptr<refhost::RemoteConnection> connection;
    StatusCode login = kStatusOk;
    std::string error;
  };
  std::unordered_map<HostSession*, SessionConnection> sessionConnections;
  std::unordered_map<MetadataInterface*, HostSession*> liveRemote;
  std::function<void(const std::string&)> remoteNote;

  // The connection (and its login's outcome) for a session's interfaces.
  std::tuple<refhost::RemoteConnection*, StatusCode, std::string> connectionFor(
      HostSession* session) {
    if (auto found = sessionConnections.find(session); found != sessionConnections.end()) {
      SessionConnection& own = found->second;
      return {own.connection.get(), own.login, own.error};
    }
    return {remote.get(), remoteLogin, remoteLoginError};
  }
  std::unique_ptr<refhost::RemoteConnection> connectRemote(const std::string& user,
                                                           const std::string& password,
                                                           StatusCode* login,
                                                           std::string* error) {
    auto connection = std::make_unique<refhost::RemoteConnection>(
        refhost::RemoteOptions{remoteLocation, user, password, tlsCa},
        [this](const std::string& text) {
          if (remoteNote) remoteNote(text);
        });
    *login = connection->connect(error);
    return connection;
  }
  // Counts of interfaces already released, per session and over the whole run.
  std::unordered_map<HostSession*, std::map<std::string, uint64_t>> releasedCalls;
  std::map<std::string, uint64_t> allReleasedCalls;
  uint64_t handedOut = 0;
  std::function<bool()> allocationFault;
  std::function<StatusCode(const char*)> operationFault;
  uint64_t releasedCount = 0;
  uint64_t blocksLeftAtRelease = 0;
  uint64_t bytesLeftAtRelease = 0;

  // The interface reports just before it frees itself: keep what the program may still ask.
  void released(MetadataInterface* md, HostSession* session,
                const mdserver::ReleaseSummary& summary) {
    for (const auto& [operation, count] : summary.callCounts) {
      releasedCalls[session][operation] += count;
      allReleasedCalls[operation] += count;
    }
    blocksLeftAtRelease += summary.poolBeforeReclaim.blocksOutstanding;
    bytesLeftAtRelease += summary.poolBeforeReclaim.bytesOutstanding;
    ++releasedCount;
    live.erase(md);
  }

  // Interfaces the packages never released are released here, so the repository outlives them.
  ~Impl() {
    while (!liveRemote.empty()) {
      MetadataInterface* md = liveRemote.begin()->first;
      releaseInterface(md);
      liveRemote.erase(md);
    }
    while (!live.empty()) {
      MetadataInterface* md = live.begin()->first;
      releaseInterface(md);
      live.erase(md);  // in case the release did not report back
    }
  }
};

std::unique_ptr<RepositoryService> RepositoryService::open(const std::string& location,
                                                           Credentials credentials,
                                                           bool verbose, std::string* error,
                                                           const std::string& tlsCa) {
  std::unique_ptr<RepositoryService> service(new RepositoryService());
  service->impl_ = std::make_unique<Impl>();
  service->impl_->credentials = {credentials.user, credentials.password};

  if (refhost::RemoteConnection::isRemoteLocation(location)) {
    Impl& impl = *service->impl_;
    impl.remoteLocation = location;
    const char* fromEnvironment = std::getenv("MDHOST_TLS_CA");
    impl.tlsCa = !tlsCa.empty() ? tlsCa : fromEnvironment ? fromEnvironment : "";
    impl.remote = impl.connectRemote(credentials.user, credentials.password, &impl.remoteLogin,
                                     &impl.remoteLoginError);
    // A server that cannot be reached (or whose certificate is not trusted) stops the program
    // here; a refused login fails each request, as a local repository's does.
    if (impl.remoteLogin == refhost::kRemoteUnavailable ||
        impl.remoteLogin == refhost::kRemoteInvalidArgument) {
      *error = impl.remoteLoginError;
      return nullptr;
    }
    service->description_ = "server " + location;
    if (verbose) std::cerr << "mdhost: connected to " << service->description_ << "\n";
    return service;
  }

  std::string seed;
  std::string database;
  bool server = false;
  if (location.empty()) {
    const auto sample = findSampleRepository();
    if (!sample) {
      *error = "the bundled sample repository examples/sample_repository.json was not found; "
               "use --repository FILE";
      return nullptr;
    }
    seed = sample->string();
    service->description_ = "sample repository " + seed;
  } else if (repositoryFileKind(location) == RepositoryFileKind::kSeed) {
    seed = location;
    service->description_ = "seed file " + seed + " (in memory)";
  } else if (repositoryFileKind(location) == RepositoryFileKind::kStandardStream) {
    seed = location;
    service->description_ = "seed from standard input (in memory)";
  } else if (repositoryFileKind(location) == RepositoryFileKind::kDatabase) {
    database = location;
    service->description_ = "repository file " + database;
  } else if (repositoryFileKind(location) == RepositoryFileKind::kServer) {
    database = location;
    server = true;
    service->description_ = "PostgreSQL repository " + mdserver::redactedLocation(location);
  } else {
    *error = "--repository " + location +
             ": expected a .db SQLite repository, a .json seed file or a postgresql:// URI";
    return nullptr;
  }

  std::optional<std::string> seedText;
  if (!seed.empty()) {
    seedText = readSeedText(seed, error);
    if (!seedText) return nullptr;
  }
  std::error_code ignored;
  if (!server && !database.empty() && fs::is_directory(database, ignored)) {
    *error = cannotOpen("repository file", database, EISDIR);
    return nullptr;
  }
  const bool created = !server && !database.empty() && !fs::exists(database, ignored);

  std::string openError;
  service->impl_->repository = mdserver::Repository::open(database, &openError);
  if (!service->impl_->repository) {
    *error = "cannot open " + (database.empty() ? std::string("an in-memory repository")
                               : server ? service->description_
                                        : "repository file '" + database + "'") +
             ": " + openError;
    return nullptr;
  }
  if (created) {
    std::cerr << "mdhost: created a new, empty repository file '" << database << "'\n";
  }
  if (seedText) {
    const auto start = std::chrono::steady_clock::now();
    mdserver::SeedSummary summary;
    mdserver::Outcome loaded;
    {
      ImportProgress progress("loading " + seed);
      loaded = service->impl_->repository->importSeedText(*seedText, seed == "-" ? "stdin" : seed,
                                                          &summary,
                                                          progress.callback());
    }
    if (!loaded.ok()) {
      *error = loaded.message.empty() ? "cannot load seed file " + seed : loaded.message;
      return nullptr;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (verbose) {
      std::cerr << "mdhost: loaded " << service->description_ << ": "
                << summaryText(summary, seconds) << "\n";
    }
  } else if (verbose) {
    std::cerr << "mdhost: opened " << service->description_ << "\n";
  }
  return service;
}

RepositoryService::~RepositoryService() = default;

refhost::MetadataProvider RepositoryService::provider(
    std::function<void(const std::string&)> note) {
  Impl* impl = impl_.get();
  if (impl->remote) {
    impl->remoteNote = note;
    return [impl, note](HostSession* session, void** interfaceOut) -> StatusCode {
      auto [connection, login, loginError] = impl->connectionFor(session);
      if (login != kStatusOk) {
        if (note) {
          char code[16];
          std::snprintf(code, sizeof code, "%08X", login);
          note("Metadata repository (status 0x" + std::string(code) + "): " + loginError);
        }
        *interfaceOut = nullptr;
        return login;
      }
      refhost::RemoteInterfaceHooks hooks;
      if (note) {
        hooks.failure = [note](StatusCode status, const std::string& text) {
          char code[16];
          std::snprintf(code, sizeof code, "%08X", status);
          note("Metadata repository (status 0x" + std::string(code) + "): " + text);
        };
      }
      hooks.released = [impl, session](const refhost::RemoteReleaseSummary& summary) {
        impl->liveRemote.erase(summary.released);
        for (const auto& [operation, count] : summary.callCounts) {
          impl->releasedCalls[session][operation] += count;
          impl->allReleasedCalls[operation] += count;
        }
        impl->blocksLeftAtRelease += summary.blocksOutstanding;
        impl->bytesLeftAtRelease += summary.bytesOutstanding;
        ++impl->releasedCount;
      };
      MetadataInterface* md = refhost::openRemoteInterface(*connection, hooks);
      impl->liveRemote.emplace(md, session);
      ++impl->handedOut;
      *interfaceOut = md;
      return kStatusOk;
    };
  }
  return [impl, note](HostSession* session, void** interfaceOut) -> StatusCode {
    const auto [credentials, login] = impl->loginFor(session);
    if (!login->outcome.ok()) {
      if (note) {
        char code[16];
        std::snprintf(code, sizeof code, "%08X", login->outcome.status);
        note("Metadata repository (status 0x" + std::string(code) + "): " + login->outcome.message);
      }
      *interfaceOut = nullptr;
      return login->outcome.status;
    }
    MetadataInterface* md =
        mdserver::openInterface(*impl->repository, *credentials, login->principal);
    mdserver::ClientInterface* client = mdserver::ClientInterface::fromAbi(md);
    if (impl->allocationFault) client->pool().setFaultHook(impl->allocationFault);
    if (impl->operationFault) client->setOperationFaultHook(impl->operationFault);
    if (note) {
      client->onFailure([note](StatusCode status, const std::string& text) {
        if (status == kStatusNoMatch) return;
        char code[16];
        std::snprintf(code, sizeof code, "%08X", status);
        note("Metadata repository (status 0x" + std::string(code) + "): " + text);
      });
    }
    client->onRelease([impl, md, session](const mdserver::ReleaseSummary& summary) {
      impl->released(md, session, summary);
    });
    impl->live.emplace(md, Impl::LiveInterface{session, client});
    ++impl->handedOut;
    *interfaceOut = md;
    return kStatusOk;
  };
}

void RepositoryService::setFaultHooks(std::function<bool()> allocation,
                                      std::function<StatusCode(const char*)> operation) {
  impl_->allocationFault = std::move(allocation);
  impl_->operationFault = std::move(operation);
}

bool RepositoryService::explain(HostSession* session, const std::string& object,
                                const std::string& permission, const std::string& identity,
                                mdserver::AccessExplanation& out, std::string* error) {
  if (impl_->remote) return explainRemotely(session, object, permission, identity, out, error);
  const auto [credentials, login] = impl_->loginFor(session);
  if (!login->outcome.ok()) {
    *error = "the login failed: " + login->outcome.message;
    return false;
  }
  const mdserver::Outcome explained = mdserver::explainAccess(
      *impl_->repository, login->principal, object, permission, identity, out);
  if (!explained.ok()) {
    *error = explained.message;
    return false;
  }
  return true;
}

// The server explains for the session's user with the same function (POST /v1/access/explain),
// so the answer and its refusals are the ones a program gets in-process.
bool RepositoryService::explainRemotely(HostSession* session, const std::string& object,
                                        const std::string& permission,
                                        const std::string& identity,
                                        mdserver::AccessExplanation& out, std::string* error) {
  auto [connection, login, loginError] = impl_->connectionFor(session);
  if (login != kStatusOk || !connection) {
    *error = "the login failed: " + loginError;
    return false;
  }
  nlohmann::json question = {{"target", object}, {"permission", permission}};
  if (!identity.empty()) question["identity"] = identity;
  std::string body;
  const int http = connection->request("POST", "/v1/access/explain", question.dump(), &body, error);
  if (http < 0) return false;
  const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) {
    *error = "the server's explanation is not JSON (HTTP " + std::to_string(http) + ")";
    return false;
  }
  if (http != 200 || answer.value("status", 0u) != 0u) {
    *error = answer.value("error", "the server refused the explanation (HTTP " +
                                       std::to_string(http) + ")");
    return false;
  }
  out = {};
  out.granted = answer.value("granted", false);
  out.target = answer.value("target", "");
  out.summary = answer.value("summary", "");
  for (const nlohmann::json& step : answer.value("steps", nlohmann::json::array())) {
    mdserver::ExplanationStep s;
    s.level = step.value("level", "");
    s.source = step.value("source", "");
    s.sourceName = step.value("sourceName", "");
    s.identity = step.value("identity", "");
    s.identityName = step.value("identityName", "");
    s.permission = step.value("permission", "");
    s.grant = step.value("grant", false);
    s.role = step.value("role", "");
    out.steps.push_back(std::move(s));
  }
  return true;
}

std::vector<std::string> RepositoryService::vocabulary() {
  std::vector<std::string> words;
  try {
    if (impl_->repository) words = impl_->repository->typeNames();
  } catch (const std::exception&) {
    words.clear();  // completion without type names; the program's own calls will say why
  }
  for (const char* name : {"Columns", "Table", "Tables", "TablePackage", "MemberIdentities",
                           "IdentityGroups", "SubTrees", "ParentTree", "Members", "Trees"}) {
    if (mdserver::inverseAssociation(name)) words.emplace_back(name);
  }
  return words;
}

std::string RepositoryService::exportSeed(HostSession* session, const std::string& file) {
  if (impl_->remote) {
    return "export() of a network server's repository is its route GET /v1/export "
           "(docs/server.md), not a program's";
  }
  const auto [credentials, login] = impl_->loginFor(session);
  if (!login->outcome.ok()) return "the login failed: " + login->outcome.message;
  if (!login->principal.localAdministrator) {
    return "only the local administrator (a run without --user) may export the repository";
  }
  if (file.size() < 6 || file.substr(file.size() - 5) != ".json") {
    return "'" + file + "' is no seed file (a seed file ends in .json)";
  }
  const mdserver::Outcome outcome = impl_->repository->exportSeedFile(file);
  return outcome.ok() ? std::string() : outcome.message;
}

bool RepositoryService::principalFor(HostSession* session, mdserver::Principal& out,
                                     std::string* error) {
  if (impl_->remote) {
    // The server decides for its session's user: audit, who and what go to its routes
    // (askServer), never through a principal made here.
    *error = "a network server's repository is asked through its routes, not here";
    return false;
  }
  const auto [credentials, login] = impl_->loginFor(session);
  if (!login->outcome.ok()) {
    *error = "the login failed: " + login->outcome.message;
    return false;
  }
  out = login->principal;
  return true;
}

mdserver::Repository& RepositoryService::repository() { return *impl_->repository; }

bool RepositoryService::checkLogin(HostSession* session, std::string* error) {
  if (impl_->remote) {
    auto [connection, login, loginError] = impl_->connectionFor(session);
    if (connection && login == kStatusOk) return true;
    *error = "the login failed: " + loginError;
    return false;
  }
  mdserver::Principal ignored;
  return principalFor(session, ignored, error);
}

bool RepositoryService::isRemote() const { return impl_->remote != nullptr; }

bool RepositoryService::askServer(HostSession* session, const std::string& route,
                                  const nlohmann::json& question, nlohmann::json& answer,
                                  std::string* error) {
  if (!impl_->remote) {
    *error = "the repository is no network server's";
    return false;
  }
  if (!checkLogin(session, error)) return false;
  answer = std::get<0>(impl_->connectionFor(session))->ask(route, question);
  return true;
}

Accounting RepositoryService::accounting() {
  Impl* impl = impl_.get();
  Accounting accounting;
  // The packages keep their interface in the cache owner of the calling session, and that is
  // the session the host asks the provider for; so a session's interface is its cache owner's.
  accounting.callsPerOperation = [impl](HostSession* session) {
    HostSession* owner = refhost::ReferenceHost::cacheOwner(session);
    std::map<std::string, uint64_t> calls;
    if (const auto found = impl->releasedCalls.find(owner); found != impl->releasedCalls.end()) {
      calls = found->second;
    }
    for (const auto& [md, live] : impl->live) {
      if (live.session != owner) continue;
      for (const auto& [operation, count] : live.client->callCounts()) calls[operation] += count;
    }
    for (const auto& [md, liveSession] : impl->liveRemote) {
      if (liveSession != owner) continue;
      for (const auto& [operation, count] : refhost::remoteCallCounts(md)) calls[operation] += count;
    }
    return calls;
  };
  accounting.poolOutstanding = [impl](HostSession* session) {
    HostSession* owner = refhost::ReferenceHost::cacheOwner(session);
    std::pair<uint64_t, uint64_t> outstanding{0, 0};
    for (const auto& [md, live] : impl->live) {
      if (live.session != owner) continue;
      outstanding.first += live.client->pool().counts().blocksOutstanding;
      outstanding.second += live.client->pool().counts().bytesOutstanding;
    }
    for (const auto& [md, liveSession] : impl->liveRemote) {
      if (liveSession != owner) continue;
      const auto [blocks, bytes] = refhost::remotePoolOutstanding(md);
      outstanding.first += blocks;
      outstanding.second += bytes;
    }
    return outstanding;
  };
  // An ended session's address may come back for a new session; its counts must not.
  accounting.forgetSession = [impl](HostSession* session) {
    impl->releasedCalls.erase(session);
    impl->sessionLogins.erase(session);
    impl->sessionConnections.erase(session);
  };
  return accounting;
}

void RepositoryService::connectAs(HostSession* session, const std::string& user,
                                  const std::string& password) {
  if (impl_->remote) {
    Impl::SessionConnection& own = impl_->sessionConnections[session];
    own.connection = impl_->connectRemote(user, password, &own.login, &own.error);
    return;
  }
  impl_->sessionLogins[session] = {mdserver::Credentials{user, password}, std::nullopt};
}

bool RepositoryService::loginFailed() const {
  if (impl_->remote) return impl_->remoteLogin != kStatusOk;
  return impl_->defaultLogin && !impl_->defaultLogin->outcome.ok();
}

std::string RepositoryService::statisticsJson() const {
  nlohmann::ordered_json report;
  nlohmann::ordered_json calls = nlohmann::ordered_json::object();
  std::map<std::string, uint64_t> counted = impl_->allReleasedCalls;
  uint64_t blocks = 0;
  uint64_t bytes = 0;
  for (const auto& [md, live] : impl_->live) {
    for (const auto& [operation, count] : live.client->callCounts()) counted[operation] += count;
    blocks += live.client->pool().counts().blocksOutstanding;
    bytes += live.client->pool().counts().bytesOutstanding;
  }
  for (const auto& [operation, count] : counted) calls[operation] = count;
  report["interfaces"] = {{"handedOut", impl_->handedOut},
                          {"released", impl_->releasedCount},
                          {"open", impl_->live.size()}};
  report["calls"] = calls;
  report["pool"] = {{"blocksOutstanding", blocks},
                    {"bytesOutstanding", bytes},
                    {"blocksLeftAtRelease", impl_->blocksLeftAtRelease},
                    {"bytesLeftAtRelease", impl_->bytesLeftAtRelease}};
  return report.dump(2) + "\n";
}

std::string RepositoryService::statistics() const {
  std::map<std::string, uint64_t> calls = impl_->allReleasedCalls;
  uint64_t blocks = 0;
  uint64_t bytes = 0;
  for (const auto& [md, live] : impl_->live) {
    for (const auto& [operation, count] : live.client->callCounts()) calls[operation] += count;
    blocks += live.client->pool().counts().blocksOutstanding;
    bytes += live.client->pool().counts().bytesOutstanding;
  }
  for (const auto& [md, session] : impl_->liveRemote) {
    for (const auto& [operation, count] : refhost::remoteCallCounts(md)) calls[operation] += count;
    const auto [remoteBlocks, remoteBytes] = refhost::remotePoolOutstanding(md);
    blocks += remoteBlocks;
    bytes += remoteBytes;
  }
  std::ostringstream out;
  out << "mdhost statistics\n"
      << "  interfaces handed out: " << impl_->handedOut << ", released by the packages: "
      << impl_->releasedCount << ", still open: " << impl_->live.size() + impl_->liveRemote.size()
      << "\n"
      << "  calls per interface operation:";
  if (calls.empty()) out << " none";
  out << "\n";
  for (const auto& [operation, count] : calls) {
    out << "    " << operation << " " << count << "\n";
  }
  out << "  pool blocks outstanding: " << blocks << " (" << bytes << " bytes) in open interfaces; "
      << impl_->blocksLeftAtRelease << " (" << impl_->bytesLeftAtRelease
      << " bytes) left behind at release\n";
  if (impl_->remote) {
    out << "  server " << impl_->remoteLocation << ": " << impl_->remote->roundTrips()
        << " round trips, " << impl_->remote->logins() << " logins\n";
  }
  return out.str();
}

}  // namespace runner
