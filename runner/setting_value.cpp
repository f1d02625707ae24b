#include "runner/setting_value.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "host/reference_host.h"

namespace runner {
namespace {

std::u16string widen(const std::string& text) {
  // Setting names and values are ASCII in practice; other bytes are kept as code units.
  return std::u16string(text.begin(), text.end());
}

}  // namespace

// --set NAME=VALUE stores the text; NAME=double:X and NAME=integer:N store numbers, for settings
// that are read as numbers (tkbug.RNGSEED is a double).
std::string applySetting(refhost::ReferenceHost& host, const std::string& name,
                         const std::string& value) {
  const auto numberAfter = [&](const std::string& prefix) -> std::optional<std::string> {
    if (value.rfind(prefix, 0) != 0) return std::nullopt;
    return value.substr(prefix.size());
  };
  // Values are not repeated in the errors: a setting may carry a secret.
  if (auto text = numberAfter("double:")) {
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0') return "--set " + name + ": the value is no number";
    // strtod also says ERANGE for a tiny number it can only hold with less precision
    // (1e-310): that one is a double all the same. Too large, or so small that nothing of it
    // is left, is refused.
    if (errno == ERANGE && (std::isinf(number) || number == 0.0)) {
      return "--set " + name + ": the number is outside the range of a double";
    }
    host.setNameValueDouble(widen(name), number);
  } else if (auto text = numberAfter("integer:")) {
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0') return "--set " + name + ": the value is no integer";
    if (errno == ERANGE) {
      return "--set " + name + ": the integer is outside the range of a 64-bit integer";
    }
    host.setNameValueInteger(widen(name), number);
  } else {
    host.setNameValueText(widen(name), widen(value));
  }
  return {};
}

}  // namespace runner
