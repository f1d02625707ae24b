// The reference host's side of the network server: one HTTPS connection to an mdserver, the
// user's login on it, and the operations of the metadata client interface sent as JSON. The
// remote interface (remote_interface.h) turns these answers into the records the packages see.
//
// The connection holds the user's login and nothing else: no database location, no database
// credentials. It verifies the server's certificate against the system's store, or against the
// authority in caFile (--tls-ca, MDHOST_TLS_CA); there is no way to turn verification off.
//
// A refused session (the server restarted over an in-memory repository, the token expired, an
// operator ended it) or a dropped connection is met by logging in again once and repeating the
// request; the note callback says so. Not thread-safe: one caller at a time (mdhost's thread).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "frame/host_abi.h"

namespace refhost {

// Status codes of the repository the remote side needs without a round trip.
inline constexpr StatusCode kRemoteInvalidArgument = 0x801720E2u;
inline constexpr StatusCode kRemoteUnavailable = 0x801720E3u;  // the repository's storage failure
inline constexpr StatusCode kRemoteNotServed = 0x801720EBu;
inline constexpr StatusCode kRemoteLoginFailed = 0x80172150u;

struct RemoteOptions {
  std::string url;       // https://HOST:PORT
  std::string user;      // empty: no login, the server's Everybody
  std::string password;  // kept only to log in again
  std::string caFile;    // empty: the system's certificate store
};

class RemoteConnection {
 public:
  RemoteConnection(RemoteOptions options, std::function<void(const std::string&)> note);
  ~RemoteConnection();
  RemoteConnection(const RemoteConnection&) = delete;
  RemoteConnection& operator=(const RemoteConnection&) = delete;

  // True for a location this connection serves ("https://...").
  static bool isRemoteLocation(const std::string& location);
  // Checks the URL and, when a user is given, logs in. 0, or the login's status with *error.
  StatusCode connect(std::string* error);
  // One operation of the interface. The answer always holds "status"; a failure holds "error".
  nlohmann::json call(const std::string& operation, const nlohmann::json& arguments);
  // The same for any route that answers {status, error?, ...} to a JSON question (POST
  // /v1/audit, /v1/who, /v1/what): a refused session logs in again once.
  nlohmann::json ask(const std::string& path, const nlohmann::json& arguments);
  // A whole-repository route (GET /v1/export, POST /v1/import): the HTTP status and body, or
  // -1 with *error when the server could not be reached.
  int request(const std::string& method, const std::string& path, const std::string& body,
              std::string* answer, std::string* error);

  // POST of a large body (a seed to /v1/import) sent in pieces, with `progress(sent, total)`
  // called after each piece (may be empty). The answer as request() gives it.
  int upload(const std::string& path, const std::string& body,
             const std::function<void(uint64_t, uint64_t)>& progress, std::string* answer,
             std::string* error);

  // GET of a whole-repository route with its body handed to `sink` as it arrives (a false
  // from the sink stops it). A failure's body goes to *failureBody instead; *headers gets the
  // answer's headers. The HTTP status, or -1 with *error when no whole answer came.
  int download(const std::string& path, const std::function<bool(const char*, size_t)>& sink,
               std::multimap<std::string, std::string>* headers, std::string* failureBody,
               std::string* error);

  const std::string& user() const;
  // The password given for the login: handed only to the packages that ask the interface for
  // the credentials (getCredentials), as the in-process interface does; never logged.
  const std::string& password() const;
  const std::string& url() const;
  uint64_t roundTrips() const;
  uint64_t logins() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace refhost
