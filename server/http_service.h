// The network server: HTTPS routes over one repository. Every route answers JSON; a login hands
// out a session token that later requests carry as "Authorization: Bearer TOKEN". A request
// without a token acts for Everybody alone (there is no local administrator over the network);
// a token that is unknown, forged or expired is refused with HTTP 401 rather than quietly
// treated as no login, so a client knows to log in again.
//
// Routes (docs/openapi.yaml describes each with its answers):
//   GET  /v1/health                       liveness and the backend
//   POST /v1/login   {user, password}     -> {token, user, expiresAt}
//   POST /v1/logout                       ends the session of the token
//   GET  /v1/session                      who the token acts for
//   GET  /v1/operations                   the operations served
//   POST /v1/operations/{name}  {args}    -> {status, error?, result...}
//   GET  /v1/export                       the whole repository as a seed file (Administer on
//                                         every repository)
//   POST /v1/import  (seed file text)     imports a seed file (the same right)
//   /console/, /v1/console/*, /v1/access/explain, /v1/templates/applications: the web console
//                                         (console_routes.h), which also lets a browser carry
//                                         the session in a cookie
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/login_throttle.h"

namespace mdserver {
class Repository;
}

namespace mdserver_net {

class SessionStore;

struct ServiceOptions {
  std::string listenHost = "127.0.0.1";
  int listenPort = 8443;
  std::string certificateFile;
  std::string keyFile;
  int workers = 4;
  uint64_t maxRequestBytes = 1 << 20;
  int requestTimeoutSeconds = 30;
  int64_t sessionLifetimeSeconds = 8 * 3600;
  LoginThrottleSettings loginThrottle;
};

class HttpService {
 public:
  // log receives one line per request and per notable event; never a password or a token.
  HttpService(mdserver::Repository& repository, SessionStore& sessions, ServiceOptions options,
              std::function<void(const std::string&)> log);
  ~HttpService();
  // Binds the address; false with *error when it cannot (or the certificate does not load).
  bool bind(std::string* error);
  int boundPort() const;
  // Serves until stop(); returns when the last request has been answered.
  void run();
  void stop();
  // Requests answered so far.
  uint64_t requestCount() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mdserver_net
