#include "runner/repository_files.h"

#include "mdserver/storage/database.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>

namespace runner {
namespace fs = std::filesystem;

namespace {

int64_t nowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Work shorter than this shows no progress at all; longer work is redrawn at most this often.
constexpr int64_t kProgressDelayMilliseconds = 500;
constexpr int64_t kProgressIntervalMilliseconds = 200;

}  // namespace

RepositoryFileKind repositoryFileKind(const std::string& path) {
  if (path == "-") return RepositoryFileKind::kStandardStream;
  if (mdserver::isServerLocation(path)) return RepositoryFileKind::kServer;
  const fs::path extension = fs::path(path).extension();
  if (extension == kDatabaseExtension) return RepositoryFileKind::kDatabase;
  if (extension == kSeedExtension) return RepositoryFileKind::kSeed;
  return RepositoryFileKind::kUnknown;
}

std::string cannotOpen(std::string_view what, const std::string& path, int error) {
  return "cannot open " + std::string(what) + " '" + path + "': " + std::strerror(error);
}

std::optional<std::string> readSeedText(const std::string& path, std::string* error) {
  if (path == "-") {
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (std::cin.bad()) {
      *error = "cannot read the seed from standard input";
      return std::nullopt;
    }
    return text;
  }
  std::error_code ignored;
  if (fs::is_directory(path, ignored)) {
    *error = cannotOpen("seed file", path, EISDIR);
    return std::nullopt;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = cannotOpen("seed file", path, errno);
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  const int readError = errno;
  std::fclose(file);
  if (failed) {
    *error = "cannot read seed file '" + path + "': " + std::strerror(readError);
    return std::nullopt;
  }
  return text;
}

std::string summaryText(const mdserver::SeedSummary& summary, double seconds) {
  const auto count = [](uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  char time[32];
  std::snprintf(time, sizeof time, "%.2f", seconds);
  return count(summary.objects, "object", "objects") + ", " +
         count(summary.properties, "property", "properties") + ", " +
         count(summary.associations, "association", "associations") + " in " + time + " s";
}

ImportProgress::ImportProgress(std::string label)
    : label_(std::move(label)), terminal_(isatty(STDERR_FILENO) != 0),
      startMilliseconds_(nowMilliseconds()) {}

ImportProgress::~ImportProgress() { finish(); }

mdserver::SeedProgress ImportProgress::callback() {
  if (!terminal_) return {};
  return [this](uint64_t done, uint64_t total) {
    const int64_t now = nowMilliseconds();
    if (now - startMilliseconds_ < kProgressDelayMilliseconds) return;
    if (shown_ && now - lastShownMilliseconds_ < kProgressIntervalMilliseconds) return;
    lastShownMilliseconds_ = now;
    shown_ = true;
    const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(100 * done / total);
    std::fprintf(stderr, "\r%s: %3u%%\033[K", label_.c_str(), percent);
    std::fflush(stderr);
  };
}

void ImportProgress::finish() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace runner
