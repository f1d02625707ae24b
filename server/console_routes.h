// The web console: static pages served from the binary, browser sessions in a cookie with a
// token against cross-site requests, the security headers of every answer, and the routes the
// pages need beyond the interface's operations (access listings, explanations, changes of
// entries and templates, the audit trail and the reverse questions who/what). Every route decides through the repository's own functions for the
// request's principal, exactly as /v1/operations does; the console has no other way in.
//
// Browser sessions: POST /v1/console/login sets the cookie "mdserver_session" (HttpOnly, Secure,
// SameSite=Strict) instead of handing the token to the page. A request that carries no
// Authorization header acts for the cookie's session; when it is not a GET it must also carry
// "X-Mdserver-Csrf" with the session's request token (GET /v1/console/session gives it), or it
// is refused with HTTP 403 before anything is read or changed.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <string>

#include "mdserver/security/security_types.h"

namespace mdserver {
class Repository;
}

namespace mdserver_net {

inline constexpr const char* kSessionCookie = "mdserver_session";
inline constexpr const char* kCsrfHeader = "X-Mdserver-Csrf";

// The session token a browser request carries in its cookie (empty: none). A request that is
// not a GET and carries the cookie without the matching request token gets *refusal.
struct CookieSession {
  std::string token;
  std::string refusal;
};
CookieSession cookieSessionOf(const httplib::Request& req);

// The request token of a session: a digest of its token, so it needs no storage of its own and
// ends with the session; it does not reveal the token.
std::string csrfTokenOf(const std::string& sessionToken);

// The headers every answer carries: a content security policy without inline script, no
// sniffing of types, no framing, no referrer, no caching of answers that hold data.
void addSecurityHeaders(httplib::Response& res);

// What the console's routes need from the server they are installed in.
struct ConsoleContext {
  mdserver::Repository& repository;
  int64_t sessionLifetimeSeconds;
  // The principal and user of a request as the server decides them; false when the request was
  // refused (the refusal is answered already).
  std::function<bool(const httplib::Request&, httplib::Response&, mdserver::Principal&,
                     std::string& userId)>
      caller;
  // Logs in like POST /v1/login; answers a failure itself and returns false, or gives the token
  // and user of the new session.
  std::function<bool(const httplib::Request&, httplib::Response&, std::string& token,
                     std::string& userId)>
      login;
  // Ends a session as POST /v1/logout does (the stored session and whatever is kept for it).
  std::function<void(const std::string& token)> logout;
};

void installConsoleRoutes(httplib::SSLServer& server, ConsoleContext context);

}  // namespace mdserver_net
