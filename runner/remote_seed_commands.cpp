#include "runner/remote_seed_commands.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "host/remote_connection.h"
#include "runner/password_source.h"
#include "runner/repository_command_parts.h"
#include "runner/repository_files.h"

namespace runner {
namespace fs = std::filesystem;

namespace {

using namespace repo_command;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Query values are percent-encoded whole: a seed's name may hold any character.
std::string queryValue(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out += {'%', kDigits[c >> 4], kDigits[c & 15]};
    }
  }
  return out;
}

// What the server said on a failure: its error text, or the HTTP status when it gave none.
std::string serverError(int http, const std::string& body) {
  const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
  if (answer.is_object() && answer.contains("error") && answer["error"].is_string()) {
    return answer["error"].get<std::string>();
  }
  return "the server answered HTTP " + std::to_string(http);
}

// The connection for the command's login; null after printing why there is none.
std::unique_ptr<refhost::RemoteConnection> connect(const CommandLine& line, const char* command,
                                                   const std::string& url, int* status) {
  std::string error;
  const std::optional<std::string> password = resolvePassword(line, &error);
  if (!password) {
    *status = refuse(command, error, kUsage);
    return nullptr;
  }
  std::string caFile = line.tlsCa;
  if (caFile.empty()) {
    if (const char* fromEnvironment = std::getenv("MDHOST_TLS_CA")) caFile = fromEnvironment;
  }
  auto connection = std::make_unique<refhost::RemoteConnection>(
      refhost::RemoteOptions{url, line.user.value_or(""), *password, caFile},
      [](const std::string& note) { std::cerr << note << "\n"; });
  const StatusCode login = connection->connect(&error);
  if (login != kStatusOk) {
    const bool unreachable =
        login == refhost::kRemoteUnavailable || login == refhost::kRemoteInvalidArgument;
    *status = refuse(command, error, unreachable ? kUsage : kFailed);
    return nullptr;
  }
  return connection;
}

int importThroughServer(const CommandLine& line) {
  const std::string& seedPath = line.operands[0];
  const std::string& url = line.operands[1];
  if (!isSeed(seedPath)) {
    return refuse("import", "'" + seedPath + "' is no seed file (a seed file ends in .json; - "
                  "reads standard input)", kUsage);
  }
  // The route takes the seed as one request body, so it is read whole here.
  std::error_code ignored;
  if (seedPath != "-" && fs::is_directory(seedPath, ignored)) {
    return refuse("import", cannotOpen("seed file", seedPath, EISDIR), kUsage);
  }
  std::string error;
  const std::optional<std::string> text = readSeedText(seedPath, &error);
  if (!text) return refuse("import", error, kUsage);

  int status = 0;
  auto connection = connect(line, "import", url, &status);
  if (!connection) return status;
  const auto start = std::chrono::steady_clock::now();
  // Problems name the seed as in-process: by its path, or "stdin".
  const std::string target = "/v1/import?mode=" +
                             std::string(line.replace ? "replace" : line.merge ? "merge" : "add") +
                             "&dryRun=" + (line.dryRun ? "true" : "false") +
                             "&name=" + queryValue(seedPath == "-" ? "stdin" : seedPath);
  std::string body;
  int http = 0;
  {
    // Sending a large seed takes a while; then the server imports it (no figures from there).
    ImportProgress progress("sending " + (seedPath == "-" ? std::string("standard input")
                                                          : seedPath) + " to " + url);
    http = connection->upload(target, *text, progress.callback(), &body, &error);
  }
  if (http < 0) return refuse("import", error, kUsage);
  const std::string shownSeed = seedPath == "-" ? "standard input" : seedPath;
  const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
  if (http == 413) {
    return refuse("import", "the seed (" + std::to_string(text->size()) + " bytes) is larger "
                  "than the server " + url + " accepts (mdserver --max-request-bytes)", kFailed);
  }
  if (line.dryRun && http == 422 && answer.is_object() && answer.contains("problems") &&
      answer["problems"].is_array()) {
    size_t count = 0;
    for (const nlohmann::json& problem : answer["problems"]) {
      if (!problem.is_string()) continue;
      std::cerr << "mdhost repo import: " << problem.get<std::string>() << "\n";
      ++count;
    }
    std::cerr << "mdhost repo import: checked " << shownSeed << ": " << count
              << (count == 1 ? " problem" : " problems") << "; nothing was changed\n";
    return kFailed;
  }
  if (http != 200 || !answer.is_object()) return refuse("import", serverError(http, body), kFailed);
  const mdserver::SeedSummary summary{answer.value("objects", uint64_t{0}),
                                      answer.value("properties", uint64_t{0}),
                                      answer.value("associations", uint64_t{0})};
  const std::string counts = summaryText(summary, secondsSince(start));
  if (line.dryRun) {
    std::cout << "checked " << shownSeed << " against " << url << ": no problems; it would import "
              << counts << "; nothing was changed\n";
  } else {
    std::cout << "imported " << shownSeed << " into " << url << ": " << counts << "\n";
  }
  return 0;
}

uint64_t headerCount(const std::multimap<std::string, std::string>& headers,
                     const std::string& name) {
  const auto found = headers.find(name);
  if (found == headers.end()) return 0;
  return std::strtoull(found->second.c_str(), nullptr, 10);
}

int exportThroughServer(const CommandLine& line) {
  const std::string& url = line.operands[0];
  const std::string& seedPath = line.operands[1];
  if (!isSeed(seedPath)) {
    return refuse("export", "'" + seedPath + "' is no seed file (a seed file ends in .json; - "
                  "writes standard output)", kUsage);
  }
  int status = 0;
  auto connection = connect(line, "export", url, &status);
  if (!connection) return status;

  // A file is written under a temporary name and renamed when the seed came whole, so a
  // failure halfway leaves no partial seed that looks like a good one.
  const bool toStandardOutput = seedPath == "-";
  const std::string partPath = seedPath + ".part";
  std::FILE* out = stdout;
  if (!toStandardOutput) {
    out = std::fopen(partPath.c_str(), "wb");
    if (out == nullptr) return refuse("export", cannotOpen("seed file", seedPath, errno), kUsage);
  }
  auto discard = [&] {
    if (toStandardOutput) return;
    std::fclose(out);
    std::error_code ignored;
    fs::remove(partPath, ignored);
  };
  const auto start = std::chrono::steady_clock::now();
  std::multimap<std::string, std::string> headers;
  std::string failureBody, error;
  bool written = true;
  uint64_t done = 0;
  int http = 0;
  {
    ImportProgress progress("exporting to " + seedPath);
    const mdserver::SeedProgress shown = toStandardOutput ? nullptr : progress.callback();
    http = connection->download(
        "/v1/export",
        [&](const char* data, size_t length) {
          written = std::fwrite(data, 1, length, out) == length;
          done += length;
          if (shown) {
            const auto total = headers.find("Content-Length");
            shown(done, total == headers.end() ? 0 : std::strtoull(total->second.c_str(),
                                                                   nullptr, 10));
          }
          return written;
        },
        &headers, &failureBody, &error);
  }
  if (!written) {
    discard();
    return refuse("export", toStandardOutput ? std::string("cannot write standard output")
                                             : cannotOpen("seed file", seedPath, errno),
                  kFailed);
  }
  if (http < 0) {
    discard();
    return refuse("export", error, kUsage);
  }
  if (http != 200) {
    discard();
    return refuse("export", serverError(http, failureBody), kFailed);
  }
  if (toStandardOutput) {
    return std::fflush(stdout) == 0 ? 0 : refuse("export", "cannot write standard output", kFailed);
  }
  if (std::fclose(out) != 0) {
    const int reason = errno;
    std::error_code ignored;
    fs::remove(partPath, ignored);
    return refuse("export", cannotOpen("seed file", seedPath, reason), kFailed);
  }
  std::error_code renameError;
  fs::rename(partPath, seedPath, renameError);
  if (renameError) {
    fs::remove(partPath, renameError);
    return refuse("export", "cannot write seed file '" + seedPath + "'", kFailed);
  }
  const mdserver::SeedSummary summary{headerCount(headers, "X-Seed-Objects"),
                                      headerCount(headers, "X-Seed-Properties"),
                                      headerCount(headers, "X-Seed-Associations")};
  std::cout << "exported " << url << " to " << seedPath << ": "
            << summaryText(summary, secondsSince(start)) << "\n";
  return 0;
}

}  // namespace

bool namesServer(const CommandLine& line) {
  if (line.command == Command::kRepoImport) {
    return refhost::RemoteConnection::isRemoteLocation(line.operands[1]);
  }
  if (line.command == Command::kRepoExport) {
    return refhost::RemoteConnection::isRemoteLocation(line.operands[0]);
  }
  return false;
}

int repoCommandThroughServer(const CommandLine& line) {
  return line.command == Command::kRepoImport ? importThroughServer(line)
                                              : exportThroughServer(line);
}

}  // namespace runner
