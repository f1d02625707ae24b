// The values of `--set NAME=VALUE`: plain text, or a number for settings read as numbers.
#pragma once

#include <string>

namespace refhost {
class ReferenceHost;
}

namespace runner {

// Stores the setting in the host's name-value store: "double:X" as a double, "integer:N" as a
// 64-bit integer, anything else as text. Returns an empty text, or the error, which names the
// setting but never repeats its value (a setting may carry a secret); nothing is stored then.
std::string applySetting(refhost::ReferenceHost& host, const std::string& name,
                         const std::string& value);

}  // namespace runner
