// Entry points of the object URI compiler (object_uri.h): the full compiler, and the short way
// for the common look-up by name.
#include "mdserver/query/object_uri.h"

#include <optional>
#include <string>
#include <vector>

#include "mdserver/base/ascii_case.h"
#include "mdserver/query/uri_compiler.h"

namespace mdserver {

using uri::Compiler;
using uri::isNameChar;
using uri::isNameStart;
using uri::ParseFailure;
using uri::setTwoParameterStatement;

std::string UriError::text() const {
  return "malformed object URI at position " + std::to_string(position) + ": expected " +
         expected;
}

namespace {

// The shape nearly every look-up by name has, vqsobj:TYPE?@Name='value' with nothing else (no
// blanks, no quote in the value): the type and the value as they stand, or false. Its
// statement depends on neither, so it is compiled once, by the full compiler, and reused.
bool splitNameLookUp(std::string_view uri, std::string_view* type, std::string_view* value) {
  constexpr std::string_view kPrefix = "vqsobj:";
  constexpr std::string_view kCondition = "?@Name='";
  if (uri.size() < kPrefix.size() || !equalNoCase(uri.substr(0, kPrefix.size()), kPrefix)) {
    return false;
  }
  size_t pos = kPrefix.size();
  const size_t typeStart = pos;
  if (pos >= uri.size() || !isNameStart(uri[pos])) return false;
  while (pos < uri.size() && isNameChar(uri[pos])) ++pos;
  *type = uri.substr(typeStart, pos - typeStart);
  if (uri.substr(pos, kCondition.size()) != kCondition) return false;
  pos += kCondition.size();
  if (uri.size() < pos + 1 || uri.back() != '\'') return false;
  *value = uri.substr(pos, uri.size() - 1 - pos);
  return value->find('\'') == std::string_view::npos;
}

// The statement of that shape as the full compiler writes it, with its type and value as
// parameters 2 and 3; null if the compiler ever wrote it otherwise (the short way is then not
// taken, and every text goes the full way).
const std::string* nameLookUpStatement() {
  static const std::optional<std::string> statement = []() -> std::optional<std::string> {
    CompiledUri compiled;
    UriError error;
    if (!compileObjectUriFully("vqsobj:T?@Name='v'", compiled, error) ||
        !compiled.paths.empty() || compiled.parameters != std::vector<std::string>{"T", "v"}) {
      return std::nullopt;
    }
    return compiled.sql;
  }();
  return statement ? &*statement : nullptr;
}

}  // namespace

bool compileObjectUri(std::string_view uri, CompiledUri& out, UriError& error) {
  std::string_view type, value;
  if (splitNameLookUp(uri, &type, &value)) {
    if (const std::string* statement = nameLookUpStatement()) {
      setTwoParameterStatement(out, *statement, type, value);
      return true;
    }
  }
  return compileObjectUriFully(uri, out, error);
}

bool compileObjectUriFully(std::string_view uri, CompiledUri& out, UriError& error) {
  try {
    Compiler compiler(uri);
    compiler.compile(out);
    return true;
  } catch (const ParseFailure& failure) {
    error.position = failure.offset + 1;
    error.expected = failure.expected;
    return false;
  }
}

}  // namespace mdserver
