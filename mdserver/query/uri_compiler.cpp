// The object URI compiler; contract in uri_compiler.h and object_uri.h.
#include "mdserver/query/uri_compiler.h"

#include <string>
#include <utility>

#include "mdserver/base/ascii_case.h"

namespace mdserver::uri {
namespace {

constexpr std::string_view kScheme = "vqsobj";

}  // namespace

void setTwoParameterStatement(CompiledUri& out, const std::string& sql, std::string_view second,
                              std::string_view third) {
  out.paths.clear();
  out.sql = sql;
  out.parameters.resize(2);
  out.parameters[0].assign(second);
  out.parameters[1].assign(third);
}

void Compiler::compile(CompiledUri& out) {
  size_t schemeEnd = text_.find(':');
  if (schemeEnd == std::string_view::npos || !equalNoCase(text_.substr(0, schemeEnd), kScheme)) {
    throw ParseFailure{0, "'vqsobj:'"};
  }
  pos_ = schemeEnd + 1;
  skipBlanks();
  std::string type = name("a type name");
  skipBlanks();
  if (at('\\')) {
    ++pos_;
    std::string_view id = text_.substr(pos_);
    while (!id.empty() && id.back() == ' ') id.remove_suffix(1);
    while (!id.empty() && id.front() == ' ') id.remove_prefix(1);
    if (id.empty()) throw ParseFailure{pos_, "an object identifier after '\\'"};
    // Every look-up by identifier is the same statement; only its parameters differ.
    static const std::string kByIdentifier = std::string(kSelectObjects) + "WHERE " +
                                             kRepositoryCondition +
                                             " AND o0.type = ?2 AND o0.id = ?3" + kOrder;
    setTwoParameterStatement(out, kByIdentifier, type, id);
    return;
  }
  std::string where = std::string(kRepositoryCondition) + " AND o0.type = " + parameter(type);
  if (at('?')) {
    ++pos_;
    where += " AND (" + query(type).text + ")";
  } else {
    throw ParseFailure{pos_, "'\\' or '?' after the type name"};
  }
  std::string sql = std::string(kSelectObjects) + "WHERE " + where + kOrder;
  out.sql = std::move(sql);
  out.parameters = std::move(params_);
  out.paths = std::move(paths_);
}

Sql Compiler::query(const std::string& type) {
  skipBlanks();
  // The XPath-like form repeats the type and puts every condition in brackets.
  size_t start = pos_;
  if (pos_ < text_.size() && isNameStart(text_[pos_])) {
    std::string word = name("a name");
    skipBlanks();
    if (pos_ == text_.size() || at('[')) {
      if (!equalNoCase(word, type)) throw ParseFailure{start, "the type name '" + type + "'"};
      std::vector<Sql> terms{{"1 = 1", 0, 1}};
      while (at('[')) {
        ++pos_;
        terms.push_back(parenthesised(orExpression("o0"), start));
        expect(']', "']'");
        skipBlanks();
      }
      if (pos_ != text_.size()) throw ParseFailure{pos_, "'[' or the end of the text"};
      return joined(terms, "AND", start);
    }
    pos_ = start;
  }
  Sql sql = orExpression("o0");
  skipBlanks();
  if (pos_ != text_.size()) throw ParseFailure{pos_, "'and', 'or' or the end of the text"};
  return sql;
}

Sql Compiler::orExpression(const std::string& alias) {
  size_t start = pos_;
  std::vector<Sql> terms{andExpression(alias)};
  while (keyword("or")) terms.push_back(andExpression(alias));
  return joined(terms, "OR", start);
}

Sql Compiler::andExpression(const std::string& alias) {
  size_t start = pos_;
  std::vector<Sql> terms{primary(alias)};
  while (keyword("and")) terms.push_back(primary(alias));
  return joined(terms, "AND", start);
}

Sql Compiler::primary(const std::string& alias) {
  skipBlanks();
  size_t start = pos_;
  Nested nested(*this, kConditionCost);
  if (at('(')) {
    ++pos_;
    Sql inner = orExpression(alias);
    expect(')', "')'");
    return parenthesised(std::move(inner), start);
  }
  if (at('@')) return comparison(alias);
  if (pos_ < text_.size() && isNameStart(text_[pos_])) {
    std::string word = name("a name");
    skipBlanks();
    if (at('(') && equalNoCase(word, "not")) {
      ++pos_;
      Sql inner = orExpression(alias);
      expect(')', "')'");
      return checked({"NOT (" + inner.text + ")", inner.stack + 2, inner.depth + 1}, start);
    }
    if (at('(') && equalNoCase(word, "contains")) {
      ++pos_;
      skipBlanks();
      if (!at('@')) throw ParseFailure{pos_, "'@' and an attribute name"};
      ++pos_;
      std::string attribute = name("an attribute name");
      expect(',', "','");
      std::string value = literal();
      expect(')', "')'");
      return attributeTest(alias, attribute, "instr(%, #) > 0", value);
    }
    pos_ = start;
    return path(alias);
  }
  throw ParseFailure{pos_, "a condition"};
}

Sql Compiler::comparison(const std::string& alias) {
  ++pos_;  // '@'
  std::string attribute = name("an attribute name");
  skipBlanks();
  const char* test;
  if (text_.substr(pos_, 2) == "=:") {
    pos_ += 2;
    test = "% = # COLLATE NOCASE";
  } else if (text_.substr(pos_, 2) == "!=") {
    pos_ += 2;
    test = "% <> #";
  } else if (at('=')) {
    ++pos_;
    test = "% = #";
  } else {
    throw ParseFailure{pos_, "'=', '!=' or '=:'"};
  }
  return attributeTest(alias, attribute, test, literal());
}

Sql Compiler::attributeTest(const std::string& alias, const std::string& attribute,
                            std::string test,
                  std::string value) {
  countComparison();
  std::string column;
  if (equalNoCase(attribute, "Id")) column = alias + ".id";
  if (equalNoCase(attribute, "Name")) column = alias + ".name";
  if (!column.empty()) {
    test.replace(test.find('%'), 1, column);
    test.replace(test.find('#'), 1, parameter(std::move(value)));
    return {test, kComparisonStack, 2};
  }
  // IN over the (name, value) index lets the planner start from the attribute when it is
  // selective, instead of scanning every object of the type.
  test.replace(test.find('%'), 1, "a.value");
  std::string named = parameter(attribute);
  test.replace(test.find('#'), 1, parameter(std::move(value)));
  return {alias + ".key IN (SELECT a.object FROM attributes a WHERE a.name = " + named +
              " AND " + test + ")",
          kSubqueryStack, kSubqueryDepth};
}

std::string Compiler::parameter(std::string value) {
  parameters_->push_back(std::move(value));
  return "?" + std::to_string(parameters_->size() + firstParameter_ - 1);
}

void Compiler::countComparison() {
  if (++comparisons_ > kMaxComparisons) {
    throw ParseFailure{pos_, "at most " + std::to_string(kMaxComparisons) +
                                 " comparisons and association steps"};
  }
}

}  // namespace mdserver::uri
