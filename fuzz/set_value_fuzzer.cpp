// mdhost's command line and the values of `--set NAME=VALUE`. The input is the argument list,
// arguments separated by NUL bytes (as a program receives them: none holds a NUL). What must hold:
// - an error about the command line never shows an option's value (a value may be a password):
//   with every value replaced by a marker, no error contains the marker;
// - each setting either is stored as its form says ("double:X" a double, "integer:N" a 64-bit
//   integer, anything else the text) or is refused with an error that does not repeat the value
//   and stores nothing.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "host/reference_host.h"
#include "runner/command_line.h"
#include "runner/setting_value.h"

namespace {

constexpr std::string_view kMarker = "Q7marker#";

std::vector<std::string> argumentsOf(std::string_view input) {
  std::vector<std::string> arguments{"mdhost"};
  size_t start = 0;
  for (;;) {
    const size_t end = input.find('\0', start);
    arguments.emplace_back(input.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return arguments;
}

// The same command line with every value replaced by the marker: the part after "=" of a
// "--name=value" argument, and the argument after a "--name" without one.
std::vector<std::string> withMarkedValues(std::vector<std::string> arguments) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string& argument = arguments[i];
    if (argument.rfind("--", 0) != 0 || argument == "--") continue;
    const size_t equals = argument.find('=');
    if (equals != std::string::npos) {
      argument = argument.substr(0, equals + 1) + std::string(kMarker);
    } else if (i + 1 < arguments.size()) {
      arguments[++i] = std::string(kMarker);
    }
  }
  return arguments;
}

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

refhost::ReferenceHost& theHost() {
  static auto* host = [] {
    refhost::HostConfig config;
    config.logFile = nullptr;
    return new refhost::ReferenceHost(config);
  }();
  return *host;
}

void checkSetting(const std::string& name, const std::string& value) {
  refhost::ReferenceHost& host = theHost();
  const std::u16string key = widen(name);
  host.removeNameValue(key);
  const std::string error = runner::applySetting(host, name, value);
  const auto stored = host.nameValue(key);
  host.removeNameValue(key);

  if (!error.empty()) {
    FUZZ_CHECK(!stored, "refused and stored: " + error);
    // The error names the setting: what follows the name must not hold the value. (Searched in
    // the whole text, a value like "double:" was found in "--set double: ..." for the name
    // "double", which is the name and a colon, not the value.)
    const std::string named = "--set " + name;
    const std::string rest = error.rfind(named, 0) == 0 ? error.substr(named.size()) : error;
    if (name.find(value) == std::string::npos) {
      FUZZ_CHECK(rest.find(value) == std::string::npos, "the value is repeated: " + error);
    }
    return;
  }
  FUZZ_CHECK(stored.has_value(), "accepted and not stored: " + name);
  if (value.rfind("double:", 0) == 0) {
    const double* number = std::get_if<double>(&stored->value);
    FUZZ_CHECK(number != nullptr, "double:" + value + " not stored as a double");
    FUZZ_CHECK(std::isfinite(*number) || value.find_first_of("iInN") != std::string::npos,
               "an infinite number from " + value);
    const double expected = std::strtod(value.c_str() + 7, nullptr);
    FUZZ_CHECK(*number == expected || (std::isnan(*number) && std::isnan(expected)), value);
  } else if (value.rfind("integer:", 0) == 0) {
    const int64_t* number = std::get_if<int64_t>(&stored->value);
    FUZZ_CHECK(number != nullptr, value + " not stored as an integer");
    errno = 0;
    const long long expected = std::strtoll(value.c_str() + 8, nullptr, 10);
    FUZZ_CHECK(errno == 0 && *number == expected, value);
  } else {
    const std::u16string* text = std::get_if<std::u16string>(&stored->value);
    FUZZ_CHECK(text != nullptr && *text == widen(value), "text setting changed: " + value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> arguments = argumentsOf(input);
  const runner::ParseResult parsed = runner::parseCommandLine(arguments);
  FUZZ_CHECK(parsed.commandLine.has_value() != !parsed.error.empty(), "result and error: " + parsed.error);

  if (input.find(kMarker) == std::string_view::npos) {
    const runner::ParseResult marked = runner::parseCommandLine(withMarkedValues(arguments));
    FUZZ_CHECK(marked.error.find(kMarker) == std::string::npos, "a value shown: " + marked.error);
  }

  if (parsed.commandLine) {
    for (const auto& [name, value] : parsed.commandLine->settings) {
      FUZZ_CHECK(!name.empty(), "a setting without a name");
      checkSetting(name, value);
    }
  }
  return 0;
}
