// Putting generated SQL together within the parser's limits; contract in sql_pieces.h.
#include "mdserver/query/sql_pieces.h"

#include <algorithm>
#include <cstddef>

#include "mdserver/query/uri_scanner.h"

namespace mdserver::uri {

Sql checked(Sql sql, size_t start) {
  if (sql.stack > kParserStackLimit || sql.depth > kExpressionDepthLimit) {
    throw ParseFailure{start, "less nesting of conditions and association paths"};
  }
  return sql;
}

Sql parenthesised(Sql inner, size_t start) {
  return checked({"(" + inner.text + ")", inner.stack + 1, inner.depth}, start);
}

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

}  // namespace mdserver::uri
