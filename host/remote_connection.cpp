#include "host/remote_connection.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

namespace refhost {
namespace {

using nlohmann::json;

json failure(StatusCode status, std::string error) {
  return {{"status", status}, {"error", std::move(error)}};
}

}  // namespace

struct RemoteConnection::Impl {
  RemoteOptions options;
  std::function<void(const std::string&)> note;
  std::string host;
  int port = 443;
  std::unique_ptr<httplib::SSLClient> client;
  std::string token;
  uint64_t roundTrips = 0;
  uint64_t logins = 0;
  bool everConnected = false;

  void say(const std::string& text) {
    if (note) note(text);
  }

  bool parseUrl(std::string* error) {
    constexpr std::string_view kScheme = "https://";
    const std::string& url = options.url;
    if (url.compare(0, kScheme.size(), kScheme) != 0) {
      *error = "the server location " + url + " does not start with https://";
      return false;
    }
    std::string rest = url.substr(kScheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('/') != std::string::npos || rest.find('@') != std::string::npos) {
      *error = "the server location " + url + " must be https://HOST:PORT, without a path or a user";
      return false;
    }
    const size_t colon = rest.rfind(':');
    host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      try {
        size_t used = 0;
        port = std::stoi(rest.substr(colon + 1), &used);
        if (used != rest.size() - colon - 1 || port <= 0 || port > 65535) throw std::out_of_range("");
      } catch (const std::exception&) {
        *error = "the server location " + url + " has no valid port";
        return false;
      }
    }
    if (host.empty()) {
      *error = "the server location " + url + " names no host";
      return false;
    }
    return true;
  }

  void makeClient() {
    client = std::make_unique<httplib::SSLClient>(host, port);
    client->enable_server_certificate_verification(true);
    if (!options.caFile.empty()) client->set_ca_cert_path(options.caFile.c_str());
    client->set_keep_alive(true);
    client->set_tcp_nodelay(true);  // requests are small: no waiting for acknowledgements
    client->set_connection_timeout(10, 0);
    client->set_read_timeout(60, 0);
    client->set_write_timeout(60, 0);
  }

  // Why a request got no answer, in words; a certificate failure says so plainly.
  std::string transportError(const httplib::Result& result) {
    std::string why = httplib::to_string(result.error());
    if (result.error() == httplib::Error::SSLServerVerification) {
      why += " (the server's certificate is not trusted: give its authority with --tls-ca or "
             "MDHOST_TLS_CA)";
    }
    return "the server " + options.url + " cannot be reached: " + why;
  }

  // The headers of one request made outside post(): the session's token, counted as a round
  // trip; false when no connection is open.
  bool begin(httplib::Headers& headers, std::string* error) {
    if (!client) {
      *error = "the server connection is not open";
      return false;
    }
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    ++roundTrips;
    return true;
  }

  // POST with the session token. A request that never reached the server whole (no
  // connection, or the connection failed while the request was written) is tried again after a
  // pause, for up to 5 s; one that may have reached it (the answer could not be read) is not
  // repeated, since a change must not be made twice.
  httplib::Result post(const std::string& path, const std::string& body, bool withToken) {
    httplib::Headers headers;
    if (withToken && !token.empty()) headers.emplace("Authorization", "Bearer " + token);
    ++roundTrips;
    httplib::Result result = client->Post(path.c_str(), headers, body, "application/json");
    auto unsent = [](const httplib::Result& r) {
      return !r && (r.error() == httplib::Error::Connection ||
                    r.error() == httplib::Error::Write ||
                    r.error() == httplib::Error::SSLConnection);
    };
    for (int attempt = 0; unsent(result) && attempt < 20; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      makeClient();
      ++roundTrips;
      result = client->Post(path.c_str(), headers, body, "application/json");
    }
    if (result) noticeInstance(result->get_header_value("X-Mdserver-Instance"));
    return result;
  }

  // Each server process names itself in every answer; a new name means the connection now
  // reaches another process (a restart, or another server behind the same address).
  std::string instance;
  void noticeInstance(const std::string& seen) {
    if (seen.empty() || seen == instance) return;
    if (!instance.empty()) {
      say("Metadata server: " + options.url + " is answered by a new server process; reconnected");
    }
    instance = seen;
  }

  StatusCode login(std::string* error) {
    token.clear();
    if (options.user.empty()) return kStatusOk;
    json body = {{"user", options.user}, {"password", options.password}};
    httplib::Result result = post("/v1/login", body.dump(), false);
    if (!result) {
      *error = transportError(result);
      return kRemoteUnavailable;
    }
    json answer = json::parse(result->body, nullptr, false);
    if (result->status != 200 || !answer.is_object() || !answer.contains("token")) {
      StatusCode status = kRemoteLoginFailed;
      if (answer.is_object() && answer.contains("status") && answer["status"].is_number()) {
        status = answer["status"].get<StatusCode>();
      }
      *error = answer.is_object() && answer.contains("error") && answer["error"].is_string()
                   ? answer["error"].get<std::string>()
                   : "login failed for user '" + options.user + "'";
      return status;
    }
    token = answer["token"].get<std::string>();
    ++logins;
    return kStatusOk;
  }
};

RemoteConnection::RemoteConnection(RemoteOptions options,
                                   std::function<void(const std::string&)> note)
    : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->note = std::move(note);
}

RemoteConnection::~RemoteConnection() {
  // End the session on the server, when it can still be reached; a lost one expires.
  if (impl_->client && !impl_->token.empty()) {
    impl_->client->set_connection_timeout(2, 0);
    httplib::Headers headers{{"Authorization", "Bearer " + impl_->token}};
    impl_->client->Post("/v1/logout", headers, "", "application/json");
  }
}

bool RemoteConnection::isRemoteLocation(const std::string& location) {
  return location.rfind("https://", 0) == 0;
}

StatusCode RemoteConnection::connect(std::string* error) {
  if (!impl_->parseUrl(error)) return kRemoteInvalidArgument;
  // A server that went away closes the socket under a request; writing to it must fail the
  // request (which is then retried), not end the whole program with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  impl_->makeClient();
  StatusCode status = impl_->login(error);
  if (status == kStatusOk) impl_->everConnected = true;
  return status;
}

nlohmann::json RemoteConnection::call(const std::string& operation,
                                      const nlohmann::json& arguments) {
  return ask("/v1/operations/" + operation, arguments);
}

nlohmann::json RemoteConnection::ask(const std::string& path, const nlohmann::json& arguments) {
  if (!impl_->client) return failure(kRemoteUnavailable, "the server connection is not open");
  const std::string body = arguments.dump();
  httplib::Result result = impl_->post(path, body, true);
  if (result && result->status == 401 && !impl_->options.user.empty()) {
    // The session is gone (a restarted server over memory, an expired token): log in again.
    std::string error;
    StatusCode status = impl_->login(&error);
    if (status != kStatusOk) return failure(status, error);
    impl_->say("Metadata server: the session on " + impl_->options.url +
               " had ended; logged in again as '" + impl_->options.user + "'");
    result = impl_->post(path, body, true);
  }
  if (!result) return failure(kRemoteUnavailable, impl_->transportError(result));
  json answer = json::parse(result->body, nullptr, false);
  if (!answer.is_object() || !answer.contains("status") || !answer["status"].is_number()) {
    return failure(kRemoteUnavailable, "the server " + impl_->options.url + " answered " +
                                           path + " with HTTP " +
                                           std::to_string(result->status) + " and no status");
  }
  return answer;
}

int RemoteConnection::request(const std::string& method, const std::string& path,
                              const std::string& body, std::string* answer, std::string* error) {
  httplib::Headers headers;
  if (!impl_->begin(headers, error)) return -1;
  httplib::Result result = method == "GET"
                               ? impl_->client->Get(path.c_str(), headers)
                               : impl_->client->Post(path.c_str(), headers, body, "application/json");
  if (!result) {
    *error = impl_->transportError(result);
    return -1;
  }
  *answer = result->body;
  return result->status;
}

int RemoteConnection::upload(const std::string& path, const std::string& body,
                             const std::function<void(uint64_t, uint64_t)>& progress,
                             std::string* answer, std::string* error) {
  httplib::Headers headers;
  if (!impl_->begin(headers, error)) return -1;
  constexpr size_t kPiece = 256 * 1024;
  httplib::Result result = impl_->client->Post(
      path.c_str(), headers, body.size(),
      [&](size_t offset, size_t length, httplib::DataSink& sink) {
        const size_t piece = std::min(length, kPiece);
        if (!sink.write(body.data() + offset, piece)) return false;
        if (progress) progress(offset + piece, body.size());
        return true;
      },
      "application/json");
  if (!result) {
    *error = impl_->transportError(result);
    return -1;
  }
  impl_->noticeInstance(result->get_header_value("X-Mdserver-Instance"));
  *answer = result->body;
  return result->status;
}

int RemoteConnection::download(const std::string& path,
                               const std::function<bool(const char*, size_t)>& sink,
                               std::multimap<std::string, std::string>* headers,
                               std::string* failureBody, std::string* error) {
  httplib::Headers sent;
  if (!impl_->begin(sent, error)) return -1;
  int status = -1;
  httplib::Result result = impl_->client->Get(
      path.c_str(), sent,
      [&](const httplib::Response& response) {
        status = response.status;
        if (headers) headers->insert(response.headers.begin(), response.headers.end());
        return true;
      },
      [&](const char* data, size_t length) {
        if (status == 200) return sink(data, length);
        failureBody->append(data, length);
        return true;
      });
  if (!result) {
    *error = impl_->transportError(result);
    return -1;
  }
  impl_->noticeInstance(result->get_header_value("X-Mdserver-Instance"));
  return result->status;
}

const std::string& RemoteConnection::user() const { return impl_->options.user; }
const std::string& RemoteConnection::password() const { return impl_->options.password; }
const std::string& RemoteConnection::url() const { return impl_->options.url; }
uint64_t RemoteConnection::roundTrips() const { return impl_->roundTrips; }
uint64_t RemoteConnection::logins() const { return impl_->logins; }

}  // namespace refhost
