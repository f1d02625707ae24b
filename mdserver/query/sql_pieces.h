// Generated SQL with what SQLite's parser will need for it, so that a text the compiler accepts
// is one SQLite (and PostgreSQL) can prepare: the limits, and the three ways pieces are put
// together (checked, in parentheses, joined by AND or OR).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace mdserver::uri {

// Recursion of the compiler is paid from a budget, so that deep texts are refused before they
// exhaust its stack: a parenthesis, not(...) or condition takes three, an association path
// fifteen.
inline constexpr int kNestingBudget = 96;
inline constexpr int kConditionCost = 3;
inline constexpr int kPathCost = 15;
// Every comparison and association step binds up to two parameters; SQLite takes at most 32766
// per statement.
inline constexpr int kMaxComparisons = 8000;
inline constexpr int kMaxPathSteps = 24;

// What SQLite's own parser will need for a piece of generated SQL, so that a text the compiler
// accepts is one SQLite can prepare. SQLite's parser stack has 100 entries and its expression
// trees may be 1000 deep; the costs below were measured against it with room to spare: a
// parenthesis takes one entry, "NOT (" two, the right operand of AND/OR three, a sub-query
// about twenty; a chain of k operands joined by AND/OR without parentheses is k deep.
inline constexpr int kParserStackLimit = 86;
inline constexpr int kExpressionDepthLimit = 900;
inline constexpr int kSubqueryStack = 22;
inline constexpr int kSubqueryDepth = 6;
inline constexpr int kComparisonStack = 8;
inline constexpr int kOperandStack = 3;
// Operands joined in one flat chain before the chain is split into parenthesised groups.
inline constexpr size_t kChainWidth = 32;

struct Sql {
  std::string text;
  int stack = 0;  // parser stack entries needed inside this piece
  int depth = 0;  // expression tree depth
};

// Refuses, at the position where the piece began, SQL that SQLite could not prepare.
Sql checked(Sql sql, size_t start);
Sql parenthesised(Sql inner, size_t start);
// Joins operands with op: up to kChainWidth in one flat chain, longer lists as a chain of
// parenthesised groups, so that neither the expression depth nor the parser stack grows much
// with the number of operands (a flat chain of 1000 operands is too deep for SQLite).
Sql joined(const std::vector<Sql>& terms, const char* op, size_t start);

}  // namespace mdserver::uri
