// Object URIs compiled to SQL by recursive descent over the text (read through UriScanner).
// Conditions come back as SQL with their parser costs (sql_pieces.h); every association path
// becomes a statement of its own that runs ahead of the query (association_paths.cpp).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mdserver/query/object_uri.h"
#include "mdserver/query/sql_pieces.h"
#include "mdserver/query/uri_scanner.h"

namespace mdserver::uri {

// A statement whose parameters 2 and 3 are the only ones, written into the room out already has
// (a repository compiles into the record of its last look-up).
void setTwoParameterStatement(CompiledUri& out, const std::string& sql, std::string_view second,
                              std::string_view third);

class Compiler : private UriScanner {
 public:
  // The parts of every query: the columns, the repository restriction (parameter 1; the cast
  // gives the parameter a type where nothing else would, PostgreSQL asks for one) and the order.
  static constexpr const char* kSelectObjects =
      "SELECT o0.key, o0.id, o0.type, o0.name, o0.description FROM objects o0 ";
  static constexpr const char* kRepositoryCondition =
      "(CAST(?1 AS BIGINT) IS NULL OR o0.repository = ?1)";
  static constexpr const char* kOrder = " ORDER BY o0.id";

  // readable: when given, every object an association path steps on must be in it (the result
  // itself is restricted by the caller, object_uri.cpp).
  explicit Compiler(std::string_view text, const ReadableSet* readable = nullptr)
      : UriScanner(text), readable_(readable) {}

  // The whole text into out; ParseFailure at the first fault.
  void compile(CompiledUri& out);

 private:
  // After "TYPE?": the conditions, or the XPath-like form that repeats the type and puts every
  // condition in brackets.
  Sql query(const std::string& type);
  Sql orExpression(const std::string& alias);
  Sql andExpression(const std::string& alias);
  // A parenthesis, not(...), contains(...), a comparison or an association path.
  Sql primary(const std::string& alias);
  // ASSOC/TYPE[COND].../ASSOC/TYPE[COND]... (association_paths.cpp).
  Sql path(const std::string& alias);
  Sql comparison(const std::string& alias);
  // test has '%' where the compared value goes and '#' where the literal goes.
  Sql attributeTest(const std::string& alias, const std::string& attribute, std::string test,
                    std::string value);
  // Binds value to the next numbered parameter (?1 is the repository) and returns its name.
  // Numbered, because the tables of association paths come before the conditions that use them.
  std::string parameter(std::string value);
  void countComparison();

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

  const ReadableSet* readable_ = nullptr;
  std::vector<CompiledUri::PathStatement> paths_;
  std::vector<std::string>* parameters_ = &params_;  // where parameter() binds
  int firstParameter_ = 2;                            // its first number (?1: the repository)
  int depth_ = 0;
  int comparisons_ = 0;
  std::vector<std::string> params_;
};

}  // namespace mdserver::uri
