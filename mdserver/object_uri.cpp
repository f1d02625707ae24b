#include "mdserver/object_uri.h"

#include <cctype>

namespace mdserver {
namespace {

constexpr std::string_view kScheme = "vqsobj";

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool isNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
}

struct ParseFailure {
  size_t offset;
  std::string expected;
};

// Nesting is paid from a budget, so that deep texts are refused here instead of exhausting the
// stack of this parser or the parser stack of SQLite (about a hundred entries, of which a
// parenthesis or not(...) takes one to three and an association path's sub-query about
// fifteen).
constexpr int kNestingBudget = 96;
constexpr int kConditionCost = 3;
constexpr int kPathCost = 15;
// Every comparison and association step binds up to two parameters; SQLite takes at most 32766
// per statement.
constexpr int kMaxComparisons = 8000;
// Two joined tables per step; SQLite joins at most 64 tables in one query.
constexpr int kMaxPathSteps = 24;

// Joins operands with op as a balanced tree, so that a long chain of "or" stays shallow for
// SQLite, whose expression depth is limited (a left-deep chain of 1000 terms exceeds it).
std::string balanced(const std::vector<std::string>& terms, size_t first, size_t count,
                     const char* op) {
  if (count == 1) return terms[first];
  size_t half = count / 2;
  return "(" + balanced(terms, first, half, op) + ") " + op + " (" +
         balanced(terms, first + half, count - half, op) + ")";
}

// Recursive descent over the text; every condition appends SQL and its literals as it goes.
class Compiler {
 public:
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
    std::string sql = "SELECT o0.key, o0.id, o0.type, o0.name, o0.description FROM objects o0 "
                      "WHERE (?1 IS NULL OR o0.repository = ?1) AND o0.type = ?";
    params_.push_back(type);
    if (at('\\')) {
      ++pos_;
      std::string_view id = text_.substr(pos_);
      while (!id.empty() && id.back() == ' ') id.remove_suffix(1);
      while (!id.empty() && id.front() == ' ') id.remove_prefix(1);
      if (id.empty()) throw ParseFailure{pos_, "an object identifier after '\\'"};
      sql += " AND o0.id = ?";
      params_.emplace_back(id);
    } else if (at('?')) {
      ++pos_;
      sql += " AND (" + query(type) + ")";
    } else {
      throw ParseFailure{pos_, "'\\' or '?' after the type name"};
    }
    sql += " ORDER BY o0.id";
    out.sql = std::move(sql);
    out.parameters = std::move(params_);
  }

 private:
  std::string query(const std::string& type) {
    skipBlanks();
    // The XPath-like form repeats the type and puts every condition in brackets.
    size_t start = pos_;
    if (pos_ < text_.size() && isNameStart(text_[pos_])) {
      std::string word = name("a name");
      skipBlanks();
      if (pos_ == text_.size() || at('[')) {
        if (!equalNoCase(word, type)) throw ParseFailure{start, "the type name '" + type + "'"};
        std::string sql = "1";
        while (at('[')) {
          ++pos_;
          sql += " AND (" + orExpression("o0") + ")";
          expect(']', "']'");
          skipBlanks();
        }
        if (pos_ != text_.size()) throw ParseFailure{pos_, "'[' or the end of the text"};
        return sql;
      }
      pos_ = start;
    }
    std::string sql = orExpression("o0");
    skipBlanks();
    if (pos_ != text_.size()) throw ParseFailure{pos_, "'and', 'or' or the end of the text"};
    return sql;
  }

  std::string orExpression(const std::string& alias) {
    std::vector<std::string> terms{andExpression(alias)};
    while (keyword("or")) terms.push_back(andExpression(alias));
    return balanced(terms, 0, terms.size(), "OR");
  }

  std::string andExpression(const std::string& alias) {
    std::vector<std::string> terms{primary(alias)};
    while (keyword("and")) terms.push_back(primary(alias));
    return balanced(terms, 0, terms.size(), "AND");
  }

  // Pays for one level of nesting for as long as it lives.
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

  std::string primary(const std::string& alias) {
    skipBlanks();
    Nested nested(*this, kConditionCost);
    if (at('(')) {
      ++pos_;
      std::string sql = orExpression(alias);
      expect(')', "')'");
      return "(" + sql + ")";
    }
    if (at('@')) return comparison(alias);
    if (pos_ < text_.size() && isNameStart(text_[pos_])) {
      size_t start = pos_;
      std::string word = name("a name");
      skipBlanks();
      if (at('(') && equalNoCase(word, "not")) {
        ++pos_;
        std::string sql = orExpression(alias);
        expect(')', "')'");
        return "NOT (" + sql + ")";
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
        return attributeTest(alias, attribute, "instr(%, ?) > 0", value);
      }
      pos_ = start;
      return path(alias);
    }
    throw ParseFailure{pos_, "a condition"};
  }

  // ASSOC/TYPE[COND].../ASSOC/TYPE... : one EXISTS over a chain of joins, one association and
  // one object per step, each over indexed columns. A chain, not one sub-query per step, keeps
  // long paths within SQLite's parser depth.
  std::string path(const std::string& alias) {
    Nested nested(*this, kPathCost);
    std::string from;
    std::string where;
    std::string previous = alias;
    for (int step = 1;; ++step) {
      if (step > kMaxPathSteps) {
        throw ParseFailure{pos_, "at most " + std::to_string(kMaxPathSteps) +
                                     " steps in an association path"};
      }
      // A step binds two parameters, as a comparison does, and counts against the same limit.
      countComparison();
      std::string association = name("an association name");
      expect('/', "'/' after the association name");
      skipBlanks();
      std::string type = name("a type name");
      std::string link = "s" + std::to_string(++aliases_);
      std::string target = "o" + std::to_string(aliases_);
      std::string linked = link + ".source = " + previous + ".key";
      if (from.empty()) {
        from = "associations " + link;
        where = linked + " AND ";
      } else {
        from += " JOIN associations " + link + " ON " + linked;
        where += " AND ";
      }
      from += " JOIN objects " + target + " ON " + target + ".key = " + link + ".target";
      where += link + ".name = ? AND " + target + ".type = ?";
      params_.push_back(association);
      params_.push_back(type);
      skipBlanks();
      while (at('[')) {
        ++pos_;
        where += " AND (" + orExpression(target) + ")";
        expect(']', "']'");
        skipBlanks();
      }
      previous = target;
      if (!at('/')) break;
      ++pos_;
      skipBlanks();
    }
    return "EXISTS (SELECT 1 FROM " + from + " WHERE " + where + ")";
  }

  std::string comparison(const std::string& alias) {
    ++pos_;  // '@'
    std::string attribute = name("an attribute name");
    skipBlanks();
    const char* test;
    if (text_.substr(pos_, 2) == "=:") {
      pos_ += 2;
      test = "% = ? COLLATE NOCASE";
    } else if (text_.substr(pos_, 2) == "!=") {
      pos_ += 2;
      test = "% <> ?";
    } else if (at('=')) {
      ++pos_;
      test = "% = ?";
    } else {
      throw ParseFailure{pos_, "'=', '!=' or '=:'"};
    }
    return attributeTest(alias, attribute, test, literal());
  }

  // test has '%' where the compared value goes.
  std::string attributeTest(const std::string& alias, const std::string& attribute,
                            std::string test, std::string value) {
    countComparison();
    std::string column;
    if (equalNoCase(attribute, "Id")) column = alias + ".id";
    if (equalNoCase(attribute, "Name")) column = alias + ".name";
    size_t mark = test.find('%');
    if (!column.empty()) {
      test.replace(mark, 1, column);
      params_.push_back(std::move(value));
      return test;
    }
    // IN over the (name, value) index lets the planner start from the attribute when it is
    // selective, instead of scanning every object of the type.
    test.replace(mark, 1, "a.value");
    params_.push_back(attribute);
    params_.push_back(std::move(value));
    return alias + ".key IN (SELECT a.object FROM attributes a WHERE a.name = ? AND " + test +
           ")";
  }

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
  int aliases_ = 0;
  int depth_ = 0;
  int comparisons_ = 0;
  std::vector<std::string> params_;
};

}  // namespace

std::string UriError::text() const {
  return "malformed object URI at position " + std::to_string(position) + ": expected " +
         expected;
}

bool compileObjectUri(std::string_view uri, CompiledUri& out, UriError& error) {
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
