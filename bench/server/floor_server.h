// The server both floor programs ask (https_floor.cpp, https_floor_clients.cpp): the same HTTP
// library, TLS, keep-alive and TCP_NODELAY as mdserver, and a handler that answers with an
// uncached resolution's worth of JSON and does nothing else. Header-only: each floor program is
// built from its one file (by resolution_ratio.sh or by hand).
#pragma once

#include <httplib.h>
#include <sys/resource.h>

#include <thread>

namespace floorbench {

inline constexpr const char* kPath = "/v1/operations/resolveUri";

// CPU seconds of this process so far (both sides of a floor run live in it).
inline double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Serves `server` on 127.0.0.1 (a free port) in `serving`: the port, or -1 when its certificate
// and key could not be used.
inline int startFloorServer(httplib::SSLServer& server, int keepAliveSeconds, std::thread& serving) {
  if (!server.is_valid()) return -1;
  server.set_tcp_nodelay(true);
  server.set_keep_alive_timeout(keepAliveSeconds);
  server.set_keep_alive_max_count(1000000);
  server.Post(kPath, [](const httplib::Request&, httplib::Response& res) {
    res.set_header("X-Mdserver-Instance", "0123456789abcdef");
    res.set_header("Cache-Control", "no-store");
    res.set_content(R"({"status":0,"objects":[{"id":"A0000002.TABLE001","type":"PhysicalTable",)"
                    R"("name":"T0000001","description":"","key":5}],"changes":"0123456789abcdef"})",
                    "application/json");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  serving = std::thread([&server] { server.listen_after_bind(); });
  return port;
}

}  // namespace floorbench
