// Association paths in conditions: ASSOC/TYPE[COND].../ASSOC/TYPE[COND]..., true for an object
// from which the path reaches an object.
#include <algorithm>
#include <string>
#include <vector>

#include "mdserver/query/uri_compiler.h"
#include "mdserver/security/readable_set.h"

namespace mdserver::uri {

// ASSOC/TYPE[COND].../ASSOC/TYPE... : the objects from which the path reaches an object. Each
// path is a statement of its own that runs before the query: a recursive table of (k, i),
// "from object k, steps i to n can be walked", starts from the sources of the last step's
// links and goes back one step at a time. Each pair is reached once (UNION), so the work is
// bounded by the steps times the links, never by the number of distinct walks (around a cycle
// of three objects there are 2^n of them). The query then only looks its objects up.
Sql Compiler::path(const std::string& alias) {
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
    // A step walks only objects the principal may read: neither the step nor a condition on it
    // can be satisfied by one it may not.
    if (readable_) {
      terms.push_back({"(" + readableCondition(*readable_, object) + ")",
                       kComparisonStack + 2 * kOperandStack + 2, 5});
    }
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

}  // namespace mdserver::uri
