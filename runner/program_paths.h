// Where mdhost finds what it did not get on its command line: the two packages and the bundled
// sample repository. An installed mdhost looks next to itself first; one run from the build tree
// falls back on the build and source trees compiled in.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace runner {

inline constexpr const char* kPackageFiles[] = {"objfuncs.so", "secfuncs.so"};

// The directory of the running executable (from /proc/self/exe).
std::filesystem::path executableDirectory();

// The folders searched for the packages, in order: the folder of mdhost, its sibling lib/
// (build/bin/mdhost next to build/lib/), then the build tree's lib/.
std::vector<std::filesystem::path> packageSearchPath();

// The first folder of the search path that holds objfuncs.so; nullopt when none does.
std::optional<std::filesystem::path> findPackageDirectory();

// The bundled examples/sample_repository.json: next to mdhost, in ../examples or ../../examples
// relative to it, then in the source tree compiled in.
std::optional<std::filesystem::path> findSampleRepository();

// The class path of the Java VM the host starts for a program: the project's own classes (a
// java/ folder next to mdhost, beside it as ../java, then the build tree's), followed by the
// entries of $CLASSPATH when it is set.
std::string javaClassPath();

}  // namespace runner
