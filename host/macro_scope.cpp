// A session's macro variables: SYSMSG and SYSRC in fixed places, every other name in a map.
#include "host/host_core.h"
#include "host/text_tools.h"

namespace {

constexpr std::string_view kStatusMessage = "SYSMSG";
constexpr std::string_view kStatusCode = "SYSRC";

// `upper` is all capital letters: a byte matches one of them exactly when, with the bit that
// makes a letter small cleared, it is that letter.
bool sameName(std::string_view name, std::string_view upper) {
  if (name.size() != upper.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if ((static_cast<unsigned char>(name[i]) & 0xDFu) != static_cast<unsigned char>(upper[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

HostMacroScope::FixedVariable* HostMacroScope::fixedVariable(std::string_view name) {
  if (sameName(name, kStatusMessage)) return &statusMessage_;
  if (sameName(name, kStatusCode)) return &statusCode_;
  return nullptr;
}

const HostMacroScope::FixedVariable* HostMacroScope::fixedVariable(std::string_view name) const {
  return const_cast<HostMacroScope*>(this)->fixedVariable(name);
}

const std::string* HostMacroScope::find(std::string_view name) const {
  if (const FixedVariable* fixed = fixedVariable(name)) {
    return fixed->isSet ? &fixed->text : nullptr;
  }
  auto it = values_.find(refhost::text::asciiUpper(name));
  return it == values_.end() ? nullptr : &it->second;
}

void HostMacroScope::set(std::string_view name, std::string_view text) {
  if (FixedVariable* fixed = fixedVariable(name)) {
    fixed->text.assign(text.data(), text.size());  // keeps the room it has
    fixed->isSet = true;
    return;
  }
  values_[refhost::text::asciiUpper(name)] = std::string(text);
}
