#include "runner/program_paths.h"

#include <cstdlib>
#include <system_error>

namespace runner {
namespace fs = std::filesystem;

fs::path executableDirectory() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::current_path() : self.parent_path();
}

std::vector<fs::path> packageSearchPath() {
  const fs::path here = executableDirectory();
  return {here, here.parent_path() / "lib", fs::path(RUX_BUILD_DIR) / "lib"};
}

std::optional<fs::path> findPackageDirectory() {
  for (const fs::path& directory : packageSearchPath()) {
    std::error_code error;
    if (fs::is_regular_file(directory / kPackageFiles[0], error)) return directory;
  }
  return std::nullopt;
}

std::optional<fs::path> findSampleRepository() {
  const fs::path here = executableDirectory();
  const fs::path candidates[] = {
      here / "sample_repository.json",
      here.parent_path() / "examples" / "sample_repository.json",
      here.parent_path().parent_path() / "examples" / "sample_repository.json",
      fs::path(RUX_SOURCE_DIR) / "examples" / "sample_repository.json",
  };
  for (const fs::path& candidate : candidates) {
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate;
  }
  return std::nullopt;
}

std::string javaClassPath() {
  const fs::path here = executableDirectory();
  const fs::path candidates[] = {here / "java", here.parent_path() / "java",
                                 fs::path(RUX_BUILD_DIR) / "java"};
  std::string path;
  for (const fs::path& candidate : candidates) {
    std::error_code error;
    if (fs::is_regular_file(candidate / "rux" / "CredentialReceiver.class", error)) {
      path = candidate.string();
      break;
    }
  }
  if (const char* extra = std::getenv("CLASSPATH"); extra != nullptr && *extra != '\0') {
    path += (path.empty() ? "" : ":") + std::string(extra);
  }
  return path;
}

}  // namespace runner
