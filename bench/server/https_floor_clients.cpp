// Whether another HTTP client would lower the floor of one request through the network server:
// the server of https_floor.cpp (cpp-httplib over OpenSSL, an empty handler) asked by mdhost's
// client library and by a Boost.Beast client (over Asio and the same OpenSSL), taking turns in
// one run. The Beast client is tried twice: the request written by the library as it likes
// (header and body as separate TLS records), and written whole in one record. Each client keeps
// one verified TLS connection, as mdhost does. Not part of the tests.
//   c++ -O2 -std=c++20 https_floor_clients.cpp -o https_floor_clients \
//       $(pkg-config --cflags --libs cpp-httplib) -lssl -lcrypto -lpthread   (Boost headers: libboost-dev)
//   https_floor_clients CERT.pem KEY.pem [CALLS=2000] [ROUNDS=3]
// Prints per round "httplib US CPU", "beast US CPU", "beast-one-write US CPU": wall microseconds
// per request and CPU microseconds of both sides (one process holds both).
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <thread>

#include "floor_server.h"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

using floorbench::cpuSeconds;
using floorbench::kPath;
const char* const kToken =
    "Bearer mds1.0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kBody = R"({"uri":"vqsobj:PhysicalTable?@Name='T0000001'"})";


class BeastClient {
 public:
  BeastClient(const char* caFile, int port, bool oneWrite)
      : context_(asio::ssl::context::tls_client), stream_(io_, context_), oneWrite_(oneWrite) {
    context_.load_verify_file(caFile);
    stream_.set_verify_mode(asio::ssl::verify_peer);
    stream_.set_verify_callback(asio::ssl::host_name_verification("127.0.0.1"));
    beast::get_lowest_layer(stream_).connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    beast::get_lowest_layer(stream_).socket().set_option(tcp::no_delay(true));
    stream_.handshake(asio::ssl::stream_base::client);
  }
  bool post() {
    http::request<http::string_body> request{http::verb::post, kPath, 11};
    request.set(http::field::host, "127.0.0.1");
    request.set(http::field::authorization, kToken);
    request.set(http::field::content_type, "application/json");
    request.keep_alive(true);
    request.body() = kBody;
    request.prepare_payload();
    beast::error_code error;
    if (oneWrite_) {
      // The library's own serializer, its pieces gathered into one buffer: one TLS record.
      http::request_serializer<http::string_body> serializer(request);
      std::string whole;
      while (!serializer.is_done()) {
        serializer.next(error, [&](beast::error_code&, const auto& buffers) {
          for (const auto piece : beast::buffers_range_ref(buffers)) {
            whole.append(static_cast<const char*>(piece.data()), piece.size());
          }
          serializer.consume(beast::buffer_bytes(buffers));
        });
        if (error) return false;
      }
      asio::write(stream_, asio::buffer(whole), error);
    } else {
      http::write(stream_, request, error);
    }
    if (error) return false;
    http::response<http::string_body> response;
    http::read(stream_, buffer_, response, error);
    return !error && response.result_int() == 200 && !response.body().empty();
  }

 private:
  asio::io_context io_;
  asio::ssl::context context_;
  beast::ssl_stream<beast::tcp_stream> stream_;
  beast::flat_buffer buffer_;
  bool oneWrite_;
};

void measure(const char* name, int calls, const std::function<bool()>& post) {
  int failures = 0;
  for (int i = 0; i < 20; ++i) failures += !post();
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = cpuSeconds();
  for (int i = 0; i < calls; ++i) failures += !post();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpuSeconds() - cpuStart;
  if (failures) {
    std::fprintf(stderr, "https_floor_clients: %s: %d requests failed\n", name, failures);
    std::exit(1);
  }
  std::printf("%-16s %8.1f us  CPU %8.1f us\n", name, wall / calls * 1e6, cpu / calls * 1e6);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: https_floor_clients CERT.pem KEY.pem [CALLS] [ROUNDS]\n");
    return 2;
  }
  const int calls = argc > 3 ? std::atoi(argv[3]) : 2000;
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
  httplib::SSLServer server(argv[1], argv[2]);
  std::thread serving;
  const int port = floorbench::startFloorServer(server, 5, serving);
  if (port < 0) {
    std::fprintf(stderr, "https_floor_clients: cannot use %s and %s\n", argv[1], argv[2]);
    return 2;
  }
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  httplib::SSLClient client("127.0.0.1", port);
  client.enable_server_certificate_verification(true);
  client.set_ca_cert_path(argv[1]);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  const httplib::Headers headers{{"Authorization", kToken}};
  BeastClient beastClient(argv[1], port, false);
  BeastClient beastOneWrite(argv[1], port, true);
  for (int round = 1; round <= rounds; ++round) {
    std::printf("round %d\n", round);
    measure("httplib", calls, [&] {
      httplib::Result r = client.Post(kPath, headers, kBody, "application/json");
      return r && r->status == 200;
    });
    measure("beast", calls, [&] { return beastClient.post(); });
    measure("beast-one-write", calls, [&] { return beastOneWrite.post(); });
  }
  std::printf("load: ");
  std::fflush(stdout);
  std::system("cut -d' ' -f1-3 /proc/loadavg");
  client.stop();
  server.stop();
  serving.join();
  return 0;
}
