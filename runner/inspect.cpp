#include "runner/inspect.h"

#include <cerrno>
#include <cinttypes>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

namespace runner {
namespace {

std::string hexWord(uint64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%" PRIx64, value);
  return buffer;
}

// A fixed-width text field of the image block: up to the first NUL or the field's end.
template <size_t N>
std::string fieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::string text(const char* pointer) { return pointer == nullptr ? "(null)" : pointer; }

std::string quoted(const std::string& value) { return "\"" + value + "\""; }

std::string utcTime(uint64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&time, &parts) == nullptr) return "?";
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return buffer;
}

void printImage(std::ostream& out, const ImageInformationBlock& image) {
  out << "image information block\n"
      << "  marker          " << quoted(fieldText(image.marker)) << "\n"
      << "  magic           " << hexWord(image.magic) << "\n"
      << "  word at 28      " << image.eight << "\n"
      << "  short version   " << quoted(fieldText(image.shortVersion)) << "\n"
      << "  full version    " << quoted(fieldText(image.fullVersion)) << "\n"
      << "  build date      " << quoted(fieldText(image.buildDate)) << "\n"
      << "  notice          " << quoted(text(image.notice)) << "\n"
      << "  level           " << quoted(fieldText(image.levelText)) << "\n";
}

void printModule(std::ostream& out, const ModuleRecord& module) {
  char lead[16];
  std::snprintf(lead, sizeof lead, "%02x %02x %02x %02x", module.lead[0], module.lead[1],
                module.lead[2], module.lead[3]);
  out << "module record\n"
      << "  lead            " << lead << "\n"
      << "  name            " << quoted(fieldText(module.moduleName)) << "\n"
      << "  numbers         " << module.field4 << " " << module.field8 << " " << module.field32
      << " " << module.field36 << " " << module.field44 << "\n"
      << "  identification  " << hexWord(module.identification) << "\n";
}

void printVersion(std::ostream& out, const VersionRecord& version) {
  const std::pair<const char*, const char*> texts[] = {
      {"1 full version", version.fullVersion},  {"2 branch", version.branch},
      {"3", version.empty3},                     {"5", version.base5},
      {"6 short id", version.shortIdentifier},   {"7", version.base7},
      {"8 identifier", version.identifier},      {"9", version.empty9},
      {"10", version.versionWord},               {"11", version.separator},
      {"12", version.empty12},                   {"13", version.hotfixField},
      {"14", version.empty14},                   {"15", version.descriptionField},
      {"16 short text", version.shortText},      {"17 build stamp", version.buildStamp},
  };
  out << "version record\n";
  for (const auto& [label, value] : texts) {
    out << "  " << label << std::string(16 - std::min<size_t>(15, std::strlen(label)), ' ')
        << quoted(text(value)) << "\n";
    if (std::strncmp(label, "3", 2) == 0) {
      out << "  4 build time    " << version.buildTime << " (" << utcTime(version.buildTime)
          << ")\n";
    }
  }
}

}  // namespace

void printLibrary(std::ostream& out, const refhost::LoadedLibrary& library) {
  out << "library " << library.path() << "\n";
  printImage(out, *library.image());
  printModule(out, *library.module());
  // The record as tkvercn1 hands it out, which is what a host asking for the version sees.
  VersionRecord version{};
  if (library.tkvercn1() != nullptr && library.tkvercn1()(&version) == 0) {
    printVersion(out, version);
  } else {
    out << "version record\n  (tkvercn1 did not answer)\n";
  }
  out << "descriptors " << library.functions().size() << "\n";
  for (const refhost::LoadedFunction& function : library.functions()) {
    const FunctionDescriptor& d = function.descriptor;
    const uintptr_t callback = reinterpret_cast<uintptr_t>(function.callback);
    out << function.row << " " << function.name << " " << d.minArgs << " " << d.maxArgs << " "
        << d.resultKind << " " << hexWord(d.callWord) << " " << hexWord(d.argWord)
        << " cb=" << hexWord(callback - library.loadBase()) << "\n";
  }
}

std::string checkSharedLibrary(const std::string& path) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    return "cannot open '" + path + "': " + std::strerror(EISDIR);
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "cannot open '" + path + "': " + std::strerror(errno);
  unsigned char magic[4] = {};
  const size_t read = std::fread(magic, 1, sizeof magic, file);
  std::fclose(file);
  if (read != sizeof magic || magic[0] != 0x7f || magic[1] != 'E' || magic[2] != 'L' ||
      magic[3] != 'F') {
    return "'" + path + "' is no shared library (it is not an ELF file)";
  }
  return {};
}

namespace {

// The facts printLibrary prints, as JSON.
std::string libraryJson(const refhost::LoadedLibrary& library) {
  nlohmann::ordered_json out;
  const ImageInformationBlock& image = *library.image();
  const ModuleRecord& module = *library.module();
  out["library"] = library.path();
  out["image"] = {{"marker", fieldText(image.marker)},       {"magic", hexWord(image.magic)},
                  {"wordAt28", image.eight},                 {"shortVersion", fieldText(image.shortVersion)},
                  {"fullVersion", fieldText(image.fullVersion)}, {"buildDate", fieldText(image.buildDate)},
                  {"notice", text(image.notice)},            {"level", fieldText(image.levelText)}};
  out["module"] = {{"lead", {module.lead[0], module.lead[1], module.lead[2], module.lead[3]}},
                   {"name", fieldText(module.moduleName)},
                   {"numbers", {module.field4, module.field8, module.field32, module.field36, module.field44}},
                   {"identification", hexWord(module.identification)}};
  VersionRecord version{};
  if (library.tkvercn1() != nullptr && library.tkvercn1()(&version) == 0) {
    const char* texts[] = {version.fullVersion, version.branch,     version.empty3,
                           version.base5,       version.shortIdentifier, version.base7,
                           version.identifier,  version.empty9,     version.versionWord,
                           version.separator,   version.empty12,    version.hotfixField,
                           version.empty14,     version.descriptionField, version.shortText,
                           version.buildStamp};
    const int numbers[] = {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    nlohmann::ordered_json record;
    for (size_t i = 0; i < std::size(texts); ++i) {
      record[std::to_string(numbers[i])] = text(texts[i]);
      if (numbers[i] == 3) record["4"] = version.buildTime;
    }
    out["version"] = record;
  } else {
    out["version"] = nullptr;
  }
  nlohmann::ordered_json descriptors = nlohmann::ordered_json::array();
  for (const refhost::LoadedFunction& function : library.functions()) {
    const FunctionDescriptor& d = function.descriptor;
    descriptors.push_back({{"row", function.row},
                           {"name", function.name},
                           {"minArgs", d.minArgs},
                           {"maxArgs", d.maxArgs},
                           {"resultKind", d.resultKind},
                           {"callWord", hexWord(d.callWord)},
                           {"argWord", hexWord(d.argWord)},
                           {"callbackOffset", hexWord(reinterpret_cast<uintptr_t>(function.callback) -
                                                      library.loadBase())}});
  }
  out["descriptors"] = descriptors;
  return out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace

int inspectLibrary(const std::string& path, bool json) {
  if (std::string problem = checkSharedLibrary(path); !problem.empty()) {
    std::cerr << "mdhost inspect: " << problem << "\n";
    return 2;
  }
  // A bare file name is a file in the current folder, not a name for the loader to search.
  const std::string loadPath = path.find('/') == std::string::npos ? "./" + path : path;
  refhost::HostConfig config;
  config.logFile = nullptr;  // the registration note repeats what is printed; warnings follow
  refhost::ReferenceHost host(config);
  int status = 0;
  try {
    const refhost::LoadedLibrary& library = host.load(loadPath);
    if (json) {
      std::cout << libraryJson(library);
    } else {
      printLibrary(std::cout, library);
    }
    std::cout.flush();
  } catch (const std::exception& error) {
    std::cerr << "mdhost inspect: " << error.what() << "\n";
    status = 2;
  }
  for (const refhost::LogLine& line : host.logLines()) {
    if (line.level == kLevelWarning) std::cerr << line.text << "\n";
  }
  return status;
}

}  // namespace runner
