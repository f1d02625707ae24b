// Entry points of the object URI compiler (object_uri.h): the full compiler, and the short way
// for the common look-up by name.
#include "mdserver/query/object_uri.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "mdserver/base/ascii_case.h"
#include "mdserver/query/uri_compiler.h"
#include "mdserver/security/readable_set.h"

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

// 'text' as an SQL literal (a quote inside doubled).
void appendLiteral(std::string& sql, std::string_view text) {
  sql += '\'';
  for (char c : text) {
    if (c == '\'') sql += '\'';
    sql += c;
  }
  sql += '\'';
}

void appendList(std::string& sql, const std::vector<std::string>& items) {
  sql += '(';
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) sql += ", ";
    appendLiteral(sql, items[i]);
  }
  sql += ')';
}

// The main statement restricted to the set: its condition goes before the closing ORDER BY.
void restrictResult(CompiledUri& out, const ReadableSet* readable) {
  if (!readable || readable->everything) return;
  constexpr std::string_view kOrder = Compiler::kOrder;
  const size_t order = out.sql.rfind(kOrder);
  if (order == std::string::npos || order + kOrder.size() != out.sql.size()) {
    // Every statement the compiler writes ends so; anything else sees nothing rather than
    // everything.
    out.sql = std::string(Compiler::kSelectObjects) + "WHERE 1 = 0" + std::string(kOrder);
    out.paths.clear();
    return;
  }
  out.sql.insert(order, " AND (" + readableCondition(*readable, "o0") + ")");
}

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

std::string readableCondition(const ReadableSet& readable, const std::string& alias) {
  if (readable.everything) return "1 = 1";
  // Sorted, so that one set always gives one text.
  std::vector<std::string> repositories(readable.repositories.begin(), readable.repositories.end());
  std::vector<std::string> shown, hidden;
  for (const auto& [id, visible] : readable.exceptions) (visible ? shown : hidden).push_back(id);
  std::sort(repositories.begin(), repositories.end());
  std::sort(shown.begin(), shown.end());
  std::sort(hidden.begin(), hidden.end());
  std::string sql = "(";
  if (repositories.empty()) {
    sql += "1 = 0";
  } else {
    // An object's repository is the first eight characters of its identifier, as the decision
    // takes it (object creation checks that they agree).
    sql += "substr(" + alias + ".id, 1, 8) IN ";
    appendList(sql, repositories);
    if (!hidden.empty()) {
      sql += " AND " + alias + ".id NOT IN ";
      appendList(sql, hidden);
    }
  }
  sql += ")";
  if (!shown.empty()) {
    sql += " OR " + alias + ".id IN ";
    appendList(sql, shown);
  }
  return sql;
}

bool compileObjectUri(std::string_view uri, CompiledUri& out, UriError& error,
                      const ReadableSet* readable) {
  std::string_view type, value;
  if (splitNameLookUp(uri, &type, &value)) {
    if (const std::string* statement = nameLookUpStatement()) {
      setTwoParameterStatement(out, *statement, type, value);
      restrictResult(out, readable);
      return true;
    }
  }
  return compileObjectUriFully(uri, out, error, readable);
}

bool compileObjectUriFully(std::string_view uri, CompiledUri& out, UriError& error,
                           const ReadableSet* readable) {
  try {
    Compiler compiler(uri, readable && !readable->everything ? readable : nullptr);
    compiler.compile(out);
    restrictResult(out, readable);
    return true;
  } catch (const ParseFailure& failure) {
    error.position = failure.offset + 1;
    error.expected = failure.expected;
    return false;
  }
}

}  // namespace mdserver
