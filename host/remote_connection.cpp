#include "host/remote_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <limits>
#include <thread>

namespace refhost {
namespace {

using nlohmann::json;
namespace http = boost::beast::http;
namespace asio = boost::asio;
using boost::system::error_code;

json failure(StatusCode status, std::string error) {
  return {{"status", status}, {"error", std::move(error)}};
}

// How a request failed, which decides whether it may be sent again: one that never reached the
// server whole may; one that may have reached it may not (a change must not be made twice).
enum class Failure { kNone, kUnsent, kUnread, kUntrusted, kStopped };

// What one request brought back.
struct Answer {
  int status = 0;
  std::string body;
  std::string instance;  // X-Mdserver-Instance: which server process answered
};

// One TLS connection over a blocking socket whose reads and writes give up after a time limit
// (SO_RCVTIMEO / SO_SNDTIMEO: no poll before each read or write). The HTTP library reads and
// writes through it (its synchronous stream concept). OpenSSL reads ahead: one read takes in
// every record the server has sent, where it would otherwise read each record's header and body
// apart. A write is handed to OpenSSL whole, so a request's header and body go out as one TLS
// record and one system call instead of two.
class TlsStream {
 public:
  TlsStream() = default;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;
  ~TlsStream() { close(); }

  bool isOpen() const { return ssl_ != nullptr; }
  // True when the last response was read to its end and the connection is fresh or idle: a
  // connection the server closed meanwhile (its idle time ran out, it restarted) says so here,
  // before a request is written into it.
  bool stillUsable() {
    if (!ssl_) return false;
    pollfd ready{socket_, POLLIN, 0};
    const int seen = ::poll(&ready, 1, 0);
    if (seen == 0) return true;  // nothing arrived while idle: the usual case
    if (seen < 0) return false;
    // Something arrived while no request was open: a session ticket (harmless) or the server's
    // close. Let OpenSSL take it in without waiting; any application data is out of turn.
    const int flags = ::fcntl(socket_, F_GETFL);
    ::fcntl(socket_, F_SETFL, flags | O_NONBLOCK);
    char scratch[256];
    const int got = SSL_read(ssl_, scratch, sizeof scratch);
    const int why = got > 0 ? SSL_ERROR_SSL : SSL_get_error(ssl_, got);
    ::fcntl(socket_, F_SETFL, flags);
    ERR_clear_error();
    return why == SSL_ERROR_WANT_READ;
  }

  // Opens a verified connection. On failure, *failure says whether the server was not reached
  // (kUnsent: may be tried again) or its certificate is not trusted (kUntrusted).
  bool open(SSL_CTX* context, const std::string& host, int port, int connectSeconds,
            int ioSeconds, Failure* failure, std::string* why) {
    close();
    *failure = Failure::kUnsent;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int failed = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found)) {
      *why = "the name " + host + " cannot be resolved (" + gai_strerror(failed) + ")";
      return false;
    }
    *why = "the connection was refused or timed out";
    for (addrinfo* a = found; a && socket_ < 0; a = a->ai_next) {
      const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
      if (s < 0) continue;
      if (connectWithin(s, a, connectSeconds, why)) {
        socket_ = s;
      } else {
        ::close(s);
      }
    }
    ::freeaddrinfo(found);
    if (socket_ < 0) return false;
    const int on = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // requests are small
    setTimeouts(connectSeconds);
    ssl_ = SSL_new(context);
    if (!ssl_ || SSL_set_fd(ssl_, socket_) != 1) {
      *why = "no TLS connection could be set up";
      close();
      return false;
    }
    SSL_set_read_ahead(ssl_, 1);
    in6_addr address6;
    in_addr address4;
    const bool literal = ::inet_pton(AF_INET, host.c_str(), &address4) == 1 ||
                         ::inet_pton(AF_INET6, host.c_str(), &address6) == 1;
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl_);
    if (literal) {
      X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl_, host.c_str());
      X509_VERIFY_PARAM_set1_host(check, host.c_str(), 0);
    }
    if (SSL_connect(ssl_) != 1) {
      const long verified = SSL_get_verify_result(ssl_);
      if (verified != X509_V_OK) {
        *failure = Failure::kUntrusted;
        *why = std::string("SSL server verification failed: ") +
               X509_verify_cert_error_string(verified);
      } else {
        *why = "the TLS handshake failed";
      }
      ERR_clear_error();
      close();
      return false;
    }
    setTimeouts(ioSeconds);
    *failure = Failure::kNone;
    return true;
  }

  void close() {
    if (ssl_) {
      SSL_free(ssl_);
      ssl_ = nullptr;
    }
    if (socket_ >= 0) {
      ::close(socket_);
      socket_ = -1;
    }
  }

  // The synchronous stream the HTTP library reads and writes.
  template <class Buffers>
  size_t read_some(const Buffers& buffers, error_code& ec) {
    ec = {};
    for (auto it = asio::buffer_sequence_begin(buffers); it != asio::buffer_sequence_end(buffers);
         ++it) {
      const asio::mutable_buffer piece(*it);
      if (piece.size() == 0) continue;
      if (!ssl_) {
        ec = asio::error::not_connected;
        return 0;
      }
      const int length = static_cast<int>(std::min<size_t>(piece.size(), INT_MAX));
      for (;;) {
        errno = 0;
        const int got = SSL_read(ssl_, piece.data(), length);
        if (got > 0) return static_cast<size_t>(got);
        if (interrupted(got)) continue;  // a signal (Ctrl-C in the console) is no failure here
        ec = errorOf(got);
        return 0;
      }
    }
    return 0;
  }
  // The throwing forms the stream concept asks for as well (the client itself uses only the
  // forms with an error code).
  template <class Buffers>
  size_t read_some(const Buffers& buffers) {
    return orThrow([&](error_code& ec) { return read_some(buffers, ec); });
  }

  template <class Buffers>
  size_t write_some(const Buffers& buffers, error_code& ec) {
    ec = {};
    const size_t total = asio::buffer_size(buffers);
    if (total == 0) return 0;
    if (!ssl_) {
      ec = asio::error::not_connected;
      return 0;
    }
    const char* data = nullptr;
    auto first = asio::buffer_sequence_begin(buffers);
    if (asio::const_buffer(*first).size() == total) {
      data = static_cast<const char*>(asio::const_buffer(*first).data());
    } else {
      // Header and body together: one TLS record, one system call.
      joined_.resize(total);
      asio::buffer_copy(asio::buffer(joined_), buffers);
      data = joined_.data();
    }
    size_t sent = 0;
    while (sent < total) {
      const int length = static_cast<int>(std::min<size_t>(total - sent, INT_MAX));
      errno = 0;
      const int put = SSL_write(ssl_, data + sent, length);
      if (put <= 0 && interrupted(put)) continue;
      if (put <= 0) {
        ec = errorOf(put);
        return sent;
      }
      sent += static_cast<size_t>(put);
    }
    return sent;
  }
  template <class Buffers>
  size_t write_some(const Buffers& buffers) {
    return orThrow([&](error_code& ec) { return write_some(buffers, ec); });
  }

 private:
  template <class Transfer>
  static size_t orThrow(Transfer transfer) {
    error_code ec;
    const size_t moved = transfer(ec);
    if (ec) throw boost::system::system_error(ec);
    return moved;
  }
  static bool connectWithin(int s, const addrinfo* a, int seconds, std::string* why) {
    const int flags = ::fcntl(s, F_GETFL);
    ::fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int result = ::connect(s, a->ai_addr, a->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
      pollfd ready{s, POLLOUT, 0};
      int seen;
      do {
        seen = ::poll(&ready, 1, seconds * 1000);
      } while (seen < 0 && errno == EINTR);
      if (seen <= 0) {
        *why = "the connection timed out";
        return false;
      }
      int problem = 0;
      socklen_t size = sizeof problem;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, &problem, &size);
      errno = problem;
      result = problem == 0 ? 0 : -1;
    }
    if (result != 0) {
      *why = std::string("the connection failed (") + std::strerror(errno) + ")";
      return false;
    }
    ::fcntl(s, F_SETFL, flags);
    return true;
  }

  void setTimeouts(int seconds) {
    const timeval limit{seconds, 0};
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }

  // A read or write a signal broke off, to be made again (OpenSSL asks for a retry, as for a
  // socket's time limit; errno tells them apart).
  bool interrupted(int result) const {
    const int saved = errno;
    const int why = SSL_get_error(ssl_, result);
    return saved == EINTR && (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE);
  }

  error_code errorOf(int result) {
    const int why = SSL_get_error(ssl_, result);
    ERR_clear_error();
    switch (why) {
      case SSL_ERROR_ZERO_RETURN:
        return asio::error::eof;
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        return asio::error::timed_out;  // the socket's time limit ran out
      case SSL_ERROR_SYSCALL:
        return errno == 0 ? error_code(asio::error::eof)
                          : error_code(errno, boost::system::system_category());
      default:
        return asio::error::connection_reset;
    }
  }

  int socket_ = -1;
  SSL* ssl_ = nullptr;
  std::string joined_;
};

}  // namespace

struct RemoteConnection::Impl {
  RemoteOptions options;
  std::function<void(const std::string&)> note;
  std::string host;
  int port = 443;
  std::string hostHeader;
  SSL_CTX* context = nullptr;
  TlsStream stream;
  boost::beast::flat_buffer buffer;  // what was read past the answer's end (nothing, normally)
  bool opened = false;               // connect() set up the connection
  int connectSeconds = 10;
  static constexpr int kIoSeconds = 60;
  std::string token;
  std::string authorization;  // "Bearer " + token, made once per login
  uint64_t roundTrips = 0;
  uint64_t logins = 0;
  bool everConnected = false;

  ~Impl() {
    if (context) SSL_CTX_free(context);
  }

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
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);  // an IPv6 address
    }
    hostHeader = rest;
    return true;
  }

  // The TLS settings every connection of this client shares: the server's certificate is always
  // verified, against caFile or the system's store.
  bool makeContext(std::string* error) {
    context = SSL_CTX_new(TLS_client_method());
    if (!context) {
      *error = "no TLS context could be made";
      return false;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    const bool loaded =
        options.caFile.empty()
            ? SSL_CTX_set_default_verify_paths(context) == 1
            : SSL_CTX_load_verify_locations(context, options.caFile.c_str(), nullptr) == 1;
    ERR_clear_error();
    if (!loaded) {
      *error = options.caFile.empty()
                   ? "the system's certificate store cannot be read"
                   : "the certificate authority file " + options.caFile +
                         " cannot be read or holds no certificate";
      return false;
    }
    return true;
  }

  // The connection, opened again when the server closed it while it was idle.
  bool ready(Failure* failed, std::string* why) {
    if (stream.isOpen() && stream.stillUsable()) return true;
    buffer.clear();
    return stream.open(context, host, port, connectSeconds, kIoSeconds, failed, why);
  }

  void drop() {
    stream.close();
    buffer.clear();
  }

  // The start of a streamed request (an upload or a download): counted as a round trip, on a
  // connection that is open; false with *error when there is none.
  bool startStreamed(std::string* error) {
    if (!opened) {
      *error = "the server connection is not open";
      return false;
    }
    ++roundTrips;
    Failure failed = Failure::kNone;
    std::string why;
    if (!ready(&failed, &why)) {
      *error = transportError(failed, why);
      return false;
    }
    return true;
  }

  // Why a request got no answer, in words; a certificate failure says so plainly.
  std::string transportError(Failure failed, const std::string& why) const {
    std::string text = "the server " + options.url + " cannot be reached: " + why;
    if (failed == Failure::kUntrusted) {
      text += " (the server's certificate is not trusted: give its authority with --tls-ca or "
              "MDHOST_TLS_CA)";
    }
    return text;
  }

  template <class Body>
  void prepare(http::request<Body>& request, bool withToken) {
    request.set(http::field::host, hostHeader);
    if (withToken && !authorization.empty()) {
      request.set(http::field::authorization, authorization);
    }
  }

  // Reads one whole answer into *answer; the connection is closed when the server says so.
  bool readAnswer(Answer* answer, std::string* why) {
    http::response_parser<http::string_body> parser;
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    error_code ec;
    http::read(stream, buffer, parser, ec);
    if (ec) {
      *why = "the answer could not be read (" + ec.message() + ")";
      drop();
      return false;
    }
    http::response<http::string_body>& response = parser.get();
    answer->status = static_cast<int>(response.result_int());
    answer->body = std::move(response.body());
    const auto instance = response.find("X-Mdserver-Instance");
    answer->instance =
        instance == response.end() ? std::string() : std::string(instance->value());
    if (!response.keep_alive()) drop();
    return true;
  }

  // One request with a body held in memory. Failure::kUnsent: it never reached the server
  // whole, and may be sent again.
  Failure send(http::verb method, const std::string& path, const std::string& body,
               bool withToken, Answer* answer, std::string* why) {
    Failure failed = Failure::kNone;
    if (!ready(&failed, why)) return failed;
    http::request<http::string_body> request{method, path, 11};
    prepare(request, withToken);
    if (method != http::verb::get || !body.empty()) {
      request.set(http::field::content_type, "application/json");
      request.body() = body;
      request.prepare_payload();
    }
    error_code ec;
    http::write(stream, request, ec);
    if (ec) {
      *why = "the request could not be written (" + ec.message() + ")";
      drop();
      return Failure::kUnsent;
    }
    return readAnswer(answer, why) ? Failure::kNone : Failure::kUnread;
  }

  // POST with the session token. A request that never reached the server whole (no
  // connection, or the connection failed while the request was written) is tried again after a
  // pause, for up to 5 s; one that may have reached it (the answer could not be read) is not
  // repeated, since a change must not be made twice.
  Failure post(const std::string& path, const std::string& body, bool withToken, Answer* answer,
               std::string* why) {
    ++roundTrips;
    Failure failed = send(http::verb::post, path, body, withToken, answer, why);
    for (int attempt = 0; failed == Failure::kUnsent && attempt < 20; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      drop();
      ++roundTrips;
      failed = send(http::verb::post, path, body, withToken, answer, why);
    }
    if (failed == Failure::kNone) noticeInstance(answer->instance);
    return failed;
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
    authorization.clear();
    if (options.user.empty()) return kStatusOk;
    json body = {{"user", options.user}, {"password", options.password}};
    Answer result;
    std::string why;
    const Failure failed = post("/v1/login", body.dump(), false, &result, &why);
    if (failed != Failure::kNone) {
      *error = transportError(failed, why);
      return kRemoteUnavailable;
    }
    json answer = json::parse(result.body, nullptr, false);
    if (result.status != 200 || !answer.is_object() || !answer.contains("token") ||
        !answer["token"].is_string()) {
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
    authorization = "Bearer " + token;
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
  if (impl_->opened && !impl_->token.empty()) {
    impl_->connectSeconds = 2;
    Answer ignored;
    std::string why;
    impl_->send(http::verb::post, "/v1/logout", "", true, &ignored, &why);
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
  if (!impl_->context && !impl_->makeContext(error)) return kRemoteUnavailable;
  impl_->drop();
  impl_->opened = true;
  StatusCode status = impl_->login(error);
  if (status == kStatusOk) impl_->everConnected = true;
  return status;
}

nlohmann::json RemoteConnection::call(const std::string& operation,
                                      const nlohmann::json& arguments) {
  return ask("/v1/operations/" + operation, arguments);
}

nlohmann::json RemoteConnection::ask(const std::string& path, const nlohmann::json& arguments) {
  if (!impl_->opened) return failure(kRemoteUnavailable, "the server connection is not open");
  const std::string body = arguments.dump();
  Answer result;
  std::string why;
  Failure failed = impl_->post(path, body, true, &result, &why);
  if (failed == Failure::kNone && result.status == 401 && !impl_->options.user.empty()) {
    // The session is gone (a restarted server over memory, an expired token): log in again.
    std::string error;
    StatusCode status = impl_->login(&error);
    if (status != kStatusOk) return failure(status, error);
    impl_->say("Metadata server: the session on " + impl_->options.url +
               " had ended; logged in again as '" + impl_->options.user + "'");
    failed = impl_->post(path, body, true, &result, &why);
  }
  if (failed != Failure::kNone) {
    return failure(kRemoteUnavailable, impl_->transportError(failed, why));
  }
  json answer = json::parse(result.body, nullptr, false);
  if (!answer.is_object() || !answer.contains("status") || !answer["status"].is_number()) {
    return failure(kRemoteUnavailable, "the server " + impl_->options.url + " answered " +
                                           path + " with HTTP " +
                                           std::to_string(result.status) + " and no status");
  }
  return answer;
}

int RemoteConnection::request(const std::string& method, const std::string& path,
                              const std::string& body, std::string* answer, std::string* error) {
  if (!impl_->opened) {
    *error = "the server connection is not open";
    return -1;
  }
  ++impl_->roundTrips;
  Answer result;
  std::string why;
  const Failure failed = impl_->send(method == "GET" ? http::verb::get : http::verb::post, path,
                                     body, true, &result, &why);
  if (failed != Failure::kNone) {
    *error = impl_->transportError(failed, why);
    return -1;
  }
  *answer = std::move(result.body);
  return result.status;
}

int RemoteConnection::upload(const std::string& path, const std::string& body,
                             const std::function<void(uint64_t, uint64_t)>& progress,
                             std::string* answer, std::string* error) {
  Impl& c = *impl_;
  if (!c.startStreamed(error)) return -1;
  http::request<http::empty_body> request{http::verb::post, path, 11};
  c.prepare(request, true);
  request.set(http::field::content_type, "application/json");
  request.content_length(body.size());
  http::request_serializer<http::empty_body> header(request);
  error_code ec;
  http::write_header(c.stream, header, ec);
  constexpr size_t kPiece = 256 * 1024;
  for (size_t offset = 0; !ec && offset < body.size();) {
    const size_t piece = std::min(body.size() - offset, kPiece);
    c.stream.write_some(asio::buffer(body.data() + offset, piece), ec);
    offset += piece;
    if (!ec && progress) progress(offset, body.size());
  }
  // A server that refuses the body (too large) may have answered before it stopped reading:
  // that answer says more than the failed write, so it is read either way.
  Answer result;
  std::string readWhy;
  if (!c.readAnswer(&result, &readWhy)) {
    *error = c.transportError(Failure::kUnread,
                              ec ? "the request could not be written (" + ec.message() + ")"
                                 : readWhy);
    return -1;
  }
  c.noticeInstance(result.instance);
  *answer = std::move(result.body);
  return result.status;
}

int RemoteConnection::download(const std::string& path,
                               const std::function<bool(const char*, size_t)>& sink,
                               std::multimap<std::string, std::string>* headers,
                               std::string* failureBody, std::string* error) {
  Impl& c = *impl_;
  if (!c.startStreamed(error)) return -1;
  http::request<http::empty_body> request{http::verb::get, path, 11};
  c.prepare(request, true);
  error_code ec;
  http::write(c.stream, request, ec);
  if (ec) {
    c.drop();
    *error = c.transportError(Failure::kUnsent,
                              "the request could not be written (" + ec.message() + ")");
    return -1;
  }
  http::response_parser<http::buffer_body> parser;
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  http::read_header(c.stream, c.buffer, parser, ec);
  if (ec) {
    c.drop();
    *error = c.transportError(Failure::kUnread,
                              "the answer could not be read (" + ec.message() + ")");
    return -1;
  }
  const int status = static_cast<int>(parser.get().result_int());
  if (headers) {
    for (const auto& field : parser.get()) {
      headers->emplace(std::string(field.name_string()), std::string(field.value()));
    }
  }
  std::vector<char> piece(64 * 1024);
  while (!parser.is_done()) {
    parser.get().body().data = piece.data();
    parser.get().body().size = piece.size();
    http::read(c.stream, c.buffer, parser, ec);
    if (ec == http::error::need_buffer) ec = {};
    if (ec) {
      c.drop();
      *error = c.transportError(Failure::kUnread,
                                "the answer could not be read (" + ec.message() + ")");
      return -1;
    }
    const size_t length = piece.size() - parser.get().body().size;
    if (length == 0) continue;
    if (status != 200) {
      failureBody->append(piece.data(), length);
    } else if (!sink(piece.data(), length)) {
      c.drop();  // the rest of the answer is not read: this connection cannot carry another
      *error = c.transportError(Failure::kStopped, "the download was stopped");
      return -1;
    }
  }
  if (!parser.get().keep_alive()) c.drop();
  const auto instance = parser.get().find("X-Mdserver-Instance");
  if (instance != parser.get().end()) c.noticeInstance(std::string(instance->value()));
  return status;
}

const std::string& RemoteConnection::user() const { return impl_->options.user; }
const std::string& RemoteConnection::password() const { return impl_->options.password; }
const std::string& RemoteConnection::url() const { return impl_->options.url; }
uint64_t RemoteConnection::roundTrips() const { return impl_->roundTrips; }
uint64_t RemoteConnection::logins() const { return impl_->logins; }

}  // namespace refhost
