#include "wire_pass.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "host/remote_connection.h"
#include "host/remote_interface.h"
#include "server/http_service.h"
#include "server/session_store.h"

namespace mdserver::testing {
namespace {

namespace fs = std::filesystem;

// A self-signed certificate for 127.0.0.1, made once per process and removed at its end.
struct Certificate {
  fs::path folder;
  std::string certificate, key, problem;
  Certificate() {
    folder = fs::temp_directory_path() / ("mdserver-wire-" + std::to_string(::getpid()));
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directories(folder, ignored);
    certificate = (folder / "cert.pem").string();
    key = (folder / "key.pem").string();
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
        "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" + key + "' -out '" +
        certificate + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) problem = "the openssl command made no certificate";
  }
  ~Certificate() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
};

const Certificate& certificate() {
  static Certificate made;
  return made;
}

// A server over one repository, serving while interfaces over it are open.
struct WireServer {
  std::unique_ptr<mdserver_net::SessionStore> sessions;
  std::unique_ptr<mdserver_net::HttpService> service;
  std::thread thread;
  std::atomic<bool> stopped{false};
  int interfaces = 0;
  std::string url;

  ~WireServer() {
    if (!thread.joinable()) return;
    // A stop asked before the server began to listen is not seen: ask until it returns.
    while (!stopped) {
      service->stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    thread.join();
  }
};

struct WireInterface {
  Repository* repository = nullptr;
  std::unique_ptr<refhost::RemoteConnection> connection;
};

std::mutex registryMutex;
std::map<Repository*, std::unique_ptr<WireServer>> servers;
std::map<MetadataInterface*, WireInterface> wired;

WireServer* serverFor(Repository& repository, std::string* error) {
  std::unique_ptr<WireServer>& slot = servers[&repository];
  if (slot) return slot.get();
  if (!certificate().problem.empty()) {
    *error = certificate().problem;
    servers.erase(&repository);
    return nullptr;
  }
  auto server = std::make_unique<WireServer>();
  // Sessions are kept apart from the repository (in memory): the tests' repositories are in
  // memory or files only this process knows.
  server->sessions = mdserver_net::SessionStore::open("", error);
  if (!server->sessions) {
    servers.erase(&repository);
    return nullptr;
  }
  mdserver_net::ServiceOptions options;
  options.listenHost = "127.0.0.1";
  options.listenPort = 0;
  options.certificateFile = certificate().certificate;
  options.keyFile = certificate().key;
  options.workers = 2;
  // The tests send texts of several megabytes to see the compiler's own limits; the server's
  // request limit has tests of its own.
  options.maxRequestBytes = 64u << 20;
  server->service = std::make_unique<mdserver_net::HttpService>(
      repository, *server->sessions, options, nullptr);
  if (!server->service->bind(error)) {
    servers.erase(&repository);
    return nullptr;
  }
  server->url = "https://127.0.0.1:" + std::to_string(server->service->boundPort());
  WireServer* raw = server.get();
  server->thread = std::thread([raw] {
    raw->service->run();
    raw->stopped = true;
  });
  slot = std::move(server);
  return slot.get();
}

// Called from releaseInterface: the connection goes first (a stopping server waits for open
// connections), then the server when no interface over its repository is left.
void forget(MetadataInterface* md) {
  std::unique_ptr<WireServer> last;
  std::unique_ptr<refhost::RemoteConnection> connection;
  {
    std::lock_guard lock(registryMutex);
    auto found = wired.find(md);
    if (found == wired.end()) return;
    connection = std::move(found->second.connection);
    auto server = servers.find(found->second.repository);
    if (server != servers.end() && --server->second->interfaces == 0) {
      last = std::move(server->second);
      servers.erase(server);
    }
    wired.erase(found);
  }
  connection.reset();
  last.reset();
}

bool isWired(MetadataInterface* md) {
  std::lock_guard lock(registryMutex);
  return wired.count(md) != 0;
}

}  // namespace

bool wirePass() {
  static const bool wire = [] {
    const char* backend = std::getenv("MDSERVER_TEST_BACKEND");
    return backend && std::string(backend) == "remote";
  }();
  return wire;
}

Credentials trustedCredentials(const Credentials& credentials) {
  return wirePass() ? kWireAdministrator : credentials;
}

MetadataInterface* openTestInterface(Repository& repository, const Credentials& credentials,
                                     const Principal* principal) {
  if (!wirePass()) {
    return principal ? openInterface(repository, credentials, *principal)
                     : openInterface(repository, credentials);
  }
  const Credentials login = principal ? credentials : kWireAdministrator;
  std::lock_guard lock(registryMutex);
  std::string error;
  WireServer* server = serverFor(repository, &error);
  if (!server) {
    ADD_FAILURE() << "no server over the repository: " << error;
    return nullptr;
  }
  auto connection = std::make_unique<refhost::RemoteConnection>(
      refhost::RemoteOptions{server->url, login.user, login.password, certificate().certificate},
      nullptr);
  if (const StatusCode status = connection->connect(&error); status != kStatusOk) {
    // The password is never part of the text: a canary would show it.
    ADD_FAILURE() << "the login of '" << login.user << "' over the wire failed (0x" << std::hex
                  << status << "): " << error;
    if (server->interfaces == 0) servers.erase(&repository);
    return nullptr;
  }
  refhost::RemoteInterfaceHooks hooks;
  hooks.released = [](const refhost::RemoteReleaseSummary& summary) { forget(summary.released); };
  MetadataInterface* md = refhost::openRemoteInterface(*connection, std::move(hooks));
  ++server->interfaces;
  wired[md] = WireInterface{&repository, std::move(connection)};
  return md;
}

std::string lastErrorText(MetadataInterface* md) {
  if (isWired(md)) return refhost::remoteLastErrorText(md);
  return ClientInterface::fromAbi(md)->lastErrorText();
}

uint64_t blocksOutstanding(MetadataInterface* md) {
  if (isWired(md)) return refhost::remotePoolOutstanding(md).first;
  return ClientInterface::fromAbi(md)->pool().counts().blocksOutstanding;
}

uint64_t invalidReleases(MetadataInterface* md) {
  if (isWired(md)) return refhost::remotePoolInvalidReleases(md);
  return ClientInterface::fromAbi(md)->pool().counts().invalidReleases;
}

uint64_t callCount(MetadataInterface* md, const std::string& operation) {
  if (isWired(md)) {
    const std::map<std::string, uint64_t> counts = refhost::remoteCallCounts(md);
    auto found = counts.find(operation);
    return found == counts.end() ? 0 : found->second;
  }
  return ClientInterface::fromAbi(md)->callCount(operation);
}

void failAllocationAt(MetadataInterface* md, uint64_t k) {
  if (isWired(md)) return refhost::remoteFailAllocationAt(md, k);
  ClientInterface::fromAbi(md)->pool().failAllocationAt(k);
}

uint64_t failedAllocations(MetadataInterface* md) {
  if (isWired(md)) return refhost::remoteFailedAllocations(md);
  return ClientInterface::fromAbi(md)->pool().counts().failedAllocations;
}

ClientInterface* localInterface(MetadataInterface* md) {
  return isWired(md) ? nullptr : ClientInterface::fromAbi(md);
}

}  // namespace mdserver::testing
