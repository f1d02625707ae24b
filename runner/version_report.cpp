#include "runner/version_report.h"

#include <filesystem>
#include <iostream>

#include <lua.hpp>

#include "host/reference_host.h"
#include "runner/program_paths.h"

namespace runner {

int printVersions(const std::string& packages) {
  std::cout << "mdhost " << kMdhostVersion << " (" << LUA_RELEASE << ")\n";
  std::filesystem::path folder = packages;
  if (folder.empty()) {
    const auto found = findPackageDirectory();
    if (!found) {
      std::cerr << "mdhost: objfuncs.so not found; use --packages DIR\n";
      return 2;
    }
    folder = *found;
  }
  refhost::HostConfig config;
  config.logFile = nullptr;  // the registration notes are not what was asked for
  int status = 0;
  for (const char* file : kPackageFiles) {
    const std::string path = (folder / file).string();
    try {
      refhost::ReferenceHost host(config);
      const refhost::LoadedLibrary& library = host.load(path);
      VersionRecord version{};
      if (library.tkvercn1() == nullptr || library.tkvercn1()(&version) != 0) {
        std::cout << file << " " << path << ": tkvercn1 did not answer\n";
        status = 2;
        continue;
      }
      const auto text = [](const char* value) { return value == nullptr ? "" : value; };
      std::cout << file << " " << text(version.fullVersion) << ", identifier "
                << text(version.identifier) << ", built " << text(version.buildStamp) << " ("
                << path << ")\n";
    } catch (const std::exception& failure) {
      std::cerr << "mdhost: " << failure.what() << "\n";
      status = 2;
    }
  }
  return status;
}

}  // namespace runner
