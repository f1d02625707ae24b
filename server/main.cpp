// mdserver: the metadata repository as a network service.
//
//   mdserver serve --repository URL --listen ADDR:PORT --tls-cert FILE --tls-key FILE
//                  [--workers N] [--max-request-bytes N] [--request-timeout SECONDS]
//                  [--session-lifetime SECONDS] [--seed FILE.json] [--log FILE]
//                  [--login-throttle FAILURES] [--login-max-delay SECONDS]
//
// Prints "listening on ADDR:PORT" on standard output once it accepts connections (with port 0
// the port the system chose). SIGTERM or SIGINT stops it cleanly: no new connection is taken,
// requests under way are answered, then it exits 0.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mdserver/model/repository.h"
#include "mdserver/storage/database.h"
#include "server/http_service.h"
#include "server/session_store.h"

namespace {

constexpr const char* kUsage =
    "usage: mdserver serve --repository URL --listen ADDR:PORT --tls-cert FILE --tls-key FILE\n"
    "                      [--workers N] [--max-request-bytes N] [--request-timeout SECONDS]\n"
    "                      [--session-lifetime SECONDS] [--seed FILE.json] [--log FILE]\n"
    "                      [--login-throttle FAILURES] [--login-max-delay SECONDS]\n";

int usageError(const std::string& what) {
  std::cerr << "mdserver: " << what << "\n" << kUsage;
  return 2;
}

bool parseNumber(const std::string& text, long long low, long long high, long long& out) {
  try {
    size_t used = 0;
    out = std::stoll(text, &used);
    return used == text.size() && out >= low && out <= high;
  } catch (const std::exception&) {
    return false;
  }
}

std::string timestamp() {
  std::time_t now = std::time(nullptr);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::cout << kUsage;
    return args.empty() ? 2 : 0;
  }
  if (args[0] != "serve") return usageError("unknown command '" + args[0] + "'");

  std::string repositoryUrl, listen, seedFile, logFile;
  bool repositoryGiven = false;
  mdserver_net::ServiceOptions options;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= args.size()) return usageError(option + " needs a value");
    const std::string& value = args[++i];
    long long number = 0;
    if (option == "--repository") {
      repositoryUrl = value;
      repositoryGiven = true;
    } else if (option == "--listen") {
      listen = value;
    } else if (option == "--tls-cert") {
      options.certificateFile = value;
    } else if (option == "--tls-key") {
      options.keyFile = value;
    } else if (option == "--seed") {
      seedFile = value;
    } else if (option == "--log") {
      logFile = value;
    } else if (option == "--workers") {
      if (!parseNumber(value, 1, 256, number)) return usageError("--workers: 1 to 256");
      options.workers = static_cast<int>(number);
    } else if (option == "--max-request-bytes") {
      if (!parseNumber(value, 1024, 1LL << 31, number)) {
        return usageError("--max-request-bytes: 1024 to 2147483648");
      }
      options.maxRequestBytes = static_cast<uint64_t>(number);
    } else if (option == "--request-timeout") {
      if (!parseNumber(value, 1, 3600, number)) return usageError("--request-timeout: 1 to 3600");
      options.requestTimeoutSeconds = static_cast<int>(number);
    } else if (option == "--session-lifetime") {
      if (!parseNumber(value, 1, 30LL * 24 * 3600, number)) {
        return usageError("--session-lifetime: 1 to 2592000 seconds");
      }
      options.sessionLifetimeSeconds = number;
    } else if (option == "--login-throttle") {
      if (!parseNumber(value, 0, 1000, number)) {
        return usageError("--login-throttle: 0 (off) to 1000 failed logins");
      }
      options.loginThrottle.freeFailures = static_cast<int>(number);
    } else if (option == "--login-max-delay") {
      if (!parseNumber(value, 1, 3600, number)) return usageError("--login-max-delay: 1 to 3600");
      options.loginThrottle.maxDelay = std::chrono::seconds(number);
    } else {
      return usageError("unknown option '" + option + "'");
    }
  }
  if (!repositoryGiven) return usageError("--repository is required");
  if (options.certificateFile.empty() || options.keyFile.empty()) {
    return usageError("--tls-cert and --tls-key are required: the server speaks only HTTPS");
  }
  const size_t colon = listen.rfind(':');
  long long port = 0;
  if (colon == std::string::npos || colon == 0 ||
      !parseNumber(listen.substr(colon + 1), 0, 65535, port)) {
    return usageError("--listen needs ADDR:PORT, e.g. 127.0.0.1:8443 (port 0: any free port)");
  }
  options.listenHost = listen.substr(0, colon);
  options.listenPort = static_cast<int>(port);

  std::ofstream logStream;
  if (!logFile.empty()) {
    logStream.open(logFile, std::ios::app);
    if (!logStream) return usageError("cannot write the log file " + logFile);
  }
  std::mutex logMutex;
  auto log = [&](const std::string& line) {
    std::lock_guard lock(logMutex);
    std::ostream& out = logFile.empty() ? std::cerr : logStream;
    out << timestamp() << " " << line << "\n";
    out.flush();
  };

  // Signals go to one thread that waits for them; every other thread (the workers among them)
  // inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  std::unique_ptr<mdserver::Repository> repository = mdserver::Repository::open(repositoryUrl, &error);
  if (!repository) {
    std::cerr << "mdserver: cannot open the repository: " << error << "\n";
    return 1;
  }
  if (!seedFile.empty()) {
    mdserver::Outcome seeded = repository->importSeedFile(seedFile);
    if (!seeded.ok()) {
      std::cerr << "mdserver: " << seeded.message << "\n";
      return 1;
    }
  }
  std::unique_ptr<mdserver_net::SessionStore> sessions =
      mdserver_net::SessionStore::open(repositoryUrl, &error);
  if (!sessions) {
    std::cerr << "mdserver: " << error << "\n";
    return 1;
  }
  sessions->purgeExpired(mdserver_net::SessionStore::now());

  mdserver_net::HttpService service(*repository, *sessions, options, log);
  if (!service.bind(&error)) {
    std::cerr << "mdserver: " << error << "\n";
    return 1;
  }
  const std::string where = options.listenHost + ":" + std::to_string(service.boundPort());
  log("serving " + (repositoryUrl.empty() ? std::string("an in-memory repository") : mdserver::redactedLocation(repositoryUrl)) + " (" + repository->backendName() +
      ") on https://" + where + " with " + std::to_string(options.workers) + " workers");
  std::cout << "listening on " << where << std::endl;

  std::thread waiter([&] {
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    log(std::string("stopping on ") + (signalNumber == SIGTERM ? "SIGTERM" : "SIGINT"));
    service.stop();
  });
  service.run();
  // run() also returns when listening fails; wake the waiter so it can be joined.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  log("stopped after " + std::to_string(service.requestCount()) + " requests");
  return 0;
}
