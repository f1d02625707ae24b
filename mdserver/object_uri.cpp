#include "mdserver/object_uri.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

#include "mdserver/ascii_case.h"

namespace mdserver {
namespace {

constexpr std::string_view kScheme = "vqsobj";

// ASCII letters and digits, as the C locale the programs run in has them, without a library
// call per character.
bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isNameStart(char c) { return isAsciiLetter(c) || c == '_'; }
bool isNameChar(char c) {
  return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

struct ParseFailure {
  size_t offset;
  std::string expected;
};

// A statement whose parameters 2 and 3 are the only ones, written into the room out already has
// (a repository compiles into the record of its last look-up).
void setTwoParameterStatement(CompiledUri& out, const std::string& sql, std::string_view second,
                              std::string_view third) {
  out.paths.clear();
  out.sql = sql;
  out.parameters.resize(2);
  out.parameters[0].assign(second);
  out.parameters[1].assign(third);
}

// Recursion of this compiler is paid from a budget, so that deep texts are refused before they
// exhaust its stack: a parenthesis, not(...) or condition takes three, an association path
// fifteen.
constexpr int kNestingBudget = 96;
constexpr int kConditionCost = 3;
constexpr int kPathCost = 15;
// Every comparison and association step binds up to two parameters; SQLite takes at most 32766
// per statement.
constexpr int kMaxComparisons = 8000;
constexpr int kMaxPathSteps = 24;

// What SQLite's own parser will need for a piece of generated SQL, so that a text the compiler
// accepts is one SQLite can prepare. SQLite's parser stack has 100 entries and its expression
// trees may be 1000 deep; the costs below were measured against it with room to spare: a
// parenthesis takes one entry, "NOT (" two, the right operand of AND/OR three, a sub-query
// about twenty; a chain of k operands joined by AND/OR without parentheses is k deep.
constexpr int kParserStackLimit = 86;
constexpr int kExpressionDepthLimit = 900;
constexpr int kSubqueryStack = 22;
constexpr int kSubqueryDepth = 6;
constexpr int kComparisonStack = 8;
constexpr int kOperandStack = 3;
// Operands joined in one flat chain before the chain is split into parenthesised groups.
constexpr size_t kChainWidth = 32;

struct Sql {
  std::string text;
  int stack = 0;  // parser stack entries needed inside this piece
  int depth = 0;  // expression tree depth
};

// Recursive descent over the text. Conditions come back as SQL with their parser costs; every
// association path becomes a statement of its own that runs ahead of the query (see path()).
class Compiler {
 public:
  // The parts of every query: the columns, the repository restriction (parameter 1; the cast
  // gives the parameter a type where nothing else would, PostgreSQL asks for one) and the order.
  static constexpr const char* kSelectObjects =
      "SELECT o0.key, o0.id, o0.type, o0.name, o0.description FROM objects o0 ";
  static constexpr const char* kRepositoryCondition =
      "(CAST(?1 AS BIGINT) IS NULL OR o0.repository = ?1)";
  static constexpr const char* kOrder = " ORDER BY o0.id";

  explicit Compiler(std::string_view text) : text_(text) {}

  void compile(CompiledUri& out) {
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

 private:
  Sql query(const std::string& type) {
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

  Sql orExpression(const std::string& alias) {
    size_t start = pos_;
    std::vector<Sql> terms{andExpression(alias)};
    while (keyword("or")) terms.push_back(andExpression(alias));
    return joined(terms, "OR", start);
  }

  Sql andExpression(const std::string& alias) {
    size_t start = pos_;
    std::vector<Sql> terms{primary(alias)};
    while (keyword("and")) terms.push_back(primary(alias));
    return joined(terms, "AND", start);
  }

  // Refuses, at the position where the piece began, SQL that SQLite could not prepare.
  Sql checked(Sql sql, size_t start) {
    if (sql.stack > kParserStackLimit || sql.depth > kExpressionDepthLimit) {
      throw ParseFailure{start, "less nesting of conditions and association paths"};
    }
    return sql;
  }

  Sql parenthesised(Sql inner, size_t start) {
    return checked({"(" + inner.text + ")", inner.stack + 1, inner.depth}, start);
  }

  // Joins operands with op: up to kChainWidth in one flat chain, longer lists as a chain of
  // parenthesised groups, so that neither the expression depth nor the parser stack grows much
  // with the number of operands (a flat chain of 1000 operands is too deep for SQLite).
  Sql joined(const std::vector<Sql>& terms, const char* op, size_t start) {
    if (terms.size() == 1) return terms[0];
    std::vector<Sql> groups;
    if (terms.size() <= kChainWidth) {
      groups = terms;
    } else {
      size_t per = (terms.size() + kChainWidth - 1) / kChainWidth;
      for (size_t first = 0; first < terms.size(); first += per) {
        std::vector<Sql> part(terms.begin() + static_cast<std::ptrdiff_t>(first),
                              terms.begin() + static_cast<std::ptrdiff_t>(
                                                  std::min(terms.size(), first + per)));
        groups.push_back(parenthesised(joined(part, op, start), start));
      }
    }
    Sql out;
    for (size_t i = 0; i < groups.size(); ++i) {
      if (i) out.text += std::string(" ") + op + " ";
      out.text += groups[i].text;
      out.stack = std::max(out.stack, groups[i].stack + (i ? kOperandStack : 0));
      out.depth = std::max(out.depth, groups[i].depth);
    }
    out.depth += static_cast<int>(groups.size());
    return checked(std::move(out), start);
  }

  // Pays for one level of recursion for as long as it lives.
  class Nested {
   public:
    Nested(Compiler& compiler, int cost) : compiler_(compiler), cost_(cost) {
      compiler_.depth_ += cost_;
      if (compiler_.depth_ > kNestingBudget) {
        throw ParseFailure{compiler_.pos_, "less nesting of conditions and association paths"};
      }
    }
    ~Nested() { compiler_.depth_ -= cost_; }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

   private:
    Compiler& compiler_;
    int cost_;
  };

  Sql primary(const std::string& alias) {
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

  // ASSOC/TYPE[COND].../ASSOC/TYPE... : the objects from which the path reaches an object. Each
  // path is a statement of its own that runs before the query: a recursive table of (k, i),
  // "from object k, steps i to n can be walked", starts from the sources of the last step's
  // links and goes back one step at a time. Each pair is reached once (UNION), so the work is
  // bounded by the steps times the links, never by the number of distinct walks (around a cycle
  // of three objects there are 2^n of them). The query then only looks its objects up.
  Sql path(const std::string& alias) {
    size_t start = pos_;
    Nested nested(*this, kPathCost);
    std::vector<std::string> parameters;
    Parameters scope(*this, parameters, 0);
    const std::string object = "t";
    const std::string link = "l";
    std::vector<Sql> steps;  // per step, what its link and object must satisfy
    for (int step = 1;; ++step) {
      if (step > kMaxPathSteps) {
        throw ParseFailure{pos_, "at most " + std::to_string(kMaxPathSteps) +
                                     " steps in an association path"};
      }
      // A step binds two parameters, as a comparison does, and counts against the same limit.
      countComparison();
      size_t stepStart = pos_;
      std::string association = parameter(name("an association name"));
      expect('/', "'/' after the association name");
      skipBlanks();
      std::string type = parameter(name("a type name"));
      std::vector<Sql> terms{{link + ".name = " + association, kComparisonStack, 2},
                             {object + ".type = " + type, kComparisonStack, 2}};
      skipBlanks();
      while (at('[')) {
        size_t open = pos_++;
        terms.push_back(parenthesised(orExpression(object), open));
        expect(']', "']'");
        skipBlanks();
      }
      steps.push_back(parenthesised(joined(terms, "AND", stepStart), stepStart));
      if (!at('/')) break;
      ++pos_;
      skipBlanks();
    }
    const std::string number = std::to_string(paths_.size() + 1);
    std::string body = "SELECT l.source, " + std::to_string(steps.size()) +
                       " FROM associations l JOIN objects t ON t.key = l.target WHERE " +
                       steps.back().text;
    if (steps.size() > 1) {
      Sql choice{"CASE w.i", 0, 0};
      for (size_t i = 0; i + 1 < steps.size(); ++i) {
        choice.text += " WHEN " + std::to_string(i + 2) + " THEN " + steps[i].text;
        choice.stack = std::max(choice.stack, steps[i].stack);
        choice.depth = std::max(choice.depth, steps[i].depth);
      }
      choice.text += " END";
      choice = checked({choice.text, choice.stack + kOperandStack * 2, choice.depth + 2}, start);
      body += " UNION SELECT l.source, w.i - 1 FROM walk w JOIN objects t ON t.key = w.k JOIN "
              "associations l ON l.target = w.k WHERE w.i > 1 AND " +
              choice.text;
    }
    paths_.push_back({"INSERT OR IGNORE INTO temp.path_sets(path, k) WITH RECURSIVE walk(k, i) AS (" +
                          body + ") SELECT " + number + ", k FROM walk WHERE i = 1",
                      std::move(parameters)});
    return checked({alias + ".key IN (SELECT k FROM temp.path_sets WHERE path = " + number + ")",
                    kSubqueryStack, kSubqueryDepth},
                   start);
  }

  Sql comparison(const std::string& alias) {
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

  // test has '%' where the compared value goes and '#' where the literal goes.
  Sql attributeTest(const std::string& alias, const std::string& attribute, std::string test,
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

  // Binds value to the next numbered parameter (?1 is the repository) and returns its name.
  // Numbered, because the tables of association paths come before the conditions that use them.
  std::string parameter(std::string value) {
    parameters_->push_back(std::move(value));
    return "?" + std::to_string(parameters_->size() + firstParameter_ - 1);
  }

  // Sends the parameters of one association path's statement to its own list while it lives.
  class Parameters {
   public:
    Parameters(Compiler& compiler, std::vector<std::string>& list, int first)
        : compiler_(compiler),
          list_(std::exchange(compiler.parameters_, &list)),
          first_(std::exchange(compiler.firstParameter_, first + 1)) {}
    ~Parameters() {
      compiler_.parameters_ = list_;
      compiler_.firstParameter_ = first_;
    }
    Parameters(const Parameters&) = delete;
    Parameters& operator=(const Parameters&) = delete;

   private:
    Compiler& compiler_;
    std::vector<std::string>* list_;
    int first_;
  };

  void countComparison() {
    if (++comparisons_ > kMaxComparisons) {
      throw ParseFailure{pos_, "at most " + std::to_string(kMaxComparisons) +
                                   " comparisons and association steps"};
    }
  }

  std::string literal() {
    skipBlanks();
    if (!at('\'') && !at('"')) throw ParseFailure{pos_, "a quoted literal"};
    char quote = text_[pos_];
    size_t open = pos_++;
    std::string value;
    for (;;) {
      if (pos_ >= text_.size()) {
        throw ParseFailure{open, std::string("a closing ") + quote + " for this literal"};
      }
      char c = text_[pos_++];
      if (c == quote) {
        if (at(quote)) {
          value += quote;
          ++pos_;
          continue;
        }
        return value;
      }
      value += c;
    }
  }

  std::string name(const char* what) {
    if (pos_ >= text_.size() || !isNameStart(text_[pos_])) throw ParseFailure{pos_, what};
    size_t start = pos_;
    while (pos_ < text_.size() && isNameChar(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  bool keyword(std::string_view word) {
    skipBlanks();
    if (text_.size() - pos_ < word.size()) return false;
    if (!equalNoCase(text_.substr(pos_, word.size()), word)) return false;
    size_t after = pos_ + word.size();
    if (after < text_.size() && isNameChar(text_[after])) return false;
    pos_ = after;
    return true;
  }

  void expect(char c, const char* what) {
    skipBlanks();
    if (!at(c)) throw ParseFailure{pos_, what};
    ++pos_;
  }

  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  void skipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::vector<CompiledUri::PathStatement> paths_;
  std::vector<std::string>* parameters_ = &params_;  // where parameter() binds
  int firstParameter_ = 2;                            // its first number (?1: the repository)
  int depth_ = 0;
  int comparisons_ = 0;
  std::vector<std::string> params_;
};

}  // namespace

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
