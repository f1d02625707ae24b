// A session's macro variables: SYSMSG and SYSRC in fixed places, every other name in a map.
#include "host/host_core.h"
#include "host/text_tools.h"

std::optional<std::string_view> HostMacroScope::find(std::string_view name) const {
  if (const FixedVariable* fixed = fixedVariable(name)) {
    if (!fixed->isSet) return std::nullopt;
    return fixed->view();
  }
  auto it = values_.find(refhost::text::asciiUpper(name));
  if (it == values_.end()) return std::nullopt;
  return std::string_view(it->second);
}

void HostMacroScope::setInMap(std::string_view name, std::string_view text) {
  values_[refhost::text::asciiUpper(name)] = std::string(text);
}
