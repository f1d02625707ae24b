// Object URIs and queries, compiled to one SQL statement over the repository's tables.
//
// Accepted forms (scheme without regard to case, blanks allowed between tokens):
//   vqsobj:TYPE\ID                      the object with that identifier, if it has that type
//   vqsobj:TYPE?COND                    objects of TYPE for which COND holds
//   vqsobj:TYPE?TYPE[COND][COND]...     the same, each bracket one more condition (all must hold)
// COND:  @ATTR = 'lit' | @ATTR != 'lit' | @ATTR =: 'lit' (equal without regard to case)
//        | contains(@ATTR, 'lit') | not(COND) | (COND) | COND and COND | COND or COND
//        | ASSOC/TYPE[COND].../ASSOC/TYPE[COND]...   (true when the path reaches an object)
// "and" binds tighter than "or". Literals take single or double quotes, the quote doubled inside.
// Type, association and attribute names compare without regard to case; @Id and @Name reach the
// identifier and the name. An object without the attribute satisfies none of the comparisons
// (so not(@A='x') holds for it, @A!='x' does not). Results come in identifier order.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mdserver {

struct ReadableSet;

// The temporary table that association paths are evaluated into, one path at a time, before
// the query that uses them runs.
inline constexpr const char* kPathSetsTable =
    "CREATE TEMP TABLE IF NOT EXISTS path_sets(path INTEGER NOT NULL, k INTEGER NOT NULL, "
    "PRIMARY KEY(path, k)) WITHOUT ROWID";

struct CompiledUri {
  // One statement per association path, in the order they must run: each fills
  // temp.path_sets with (path number, key of every object the path can be walked from).
  struct PathStatement {
    std::string sql;
    std::vector<std::string> parameters;  // bound to parameters 1, 2, ... in order
  };
  std::vector<PathStatement> paths;
  // SELECT key, id, type, name, description FROM objects ... ORDER BY id. Parameter 1 restricts
  // the result to one repository key (bind NULL for all repositories).
  std::string sql;
  std::vector<std::string> parameters;  // bound to parameters 2, 3, ... in order
};

struct UriError {
  size_t position = 0;  // 1-based character position in the text
  std::string expected;
  // "malformed object URI at position N: expected ..."
  std::string text() const;
};

// Returns false and fills error when the text is not a well-formed object URI.
//
// readable (when given and not everything): the query sees only the objects of that set, at
// every step: the objects it returns, and every object an association path walks through or
// tests a condition on. So a condition can never be true, or a path walked, because of an object
// the principal may not read, and the number of results counts readable objects only.
bool compileObjectUri(std::string_view uri, CompiledUri& out, UriError& error,
                      const ReadableSet* readable = nullptr);
// The same without the short way for the common look-up by name: what compileObjectUri must
// agree with, byte for byte.
bool compileObjectUriFully(std::string_view uri, CompiledUri& out, UriError& error,
                           const ReadableSet* readable = nullptr);

// SQL that holds for the objects of the set (alias names a row of the objects table); "1 = 1"
// for everything. Identifiers are written as literals, so the statement text stays the same for
// as long as the set does (and its prepared form can be kept).
std::string readableCondition(const ReadableSet& readable, const std::string& alias);

}  // namespace mdserver
