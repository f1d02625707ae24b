#include "mdserver/storage/postgres_dialect.h"

#include <cctype>

#include "mdserver/base/ascii_case.h"

namespace mdserver {
namespace {

bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The words of a keyword sequence ("INSERT OR IGNORE INTO") at pos, any blanks between them;
// the length matched, or 0.
size_t matchWords(std::string_view sql, size_t pos, std::initializer_list<std::string_view> words) {
  if (pos > 0 && isWordChar(sql[pos - 1])) return 0;
  size_t at = pos;
  bool first = true;
  for (std::string_view word : words) {
    if (!first) {
      size_t blanks = at;
      while (blanks < sql.size() && std::isspace(static_cast<unsigned char>(sql[blanks]))) ++blanks;
      if (blanks == at) return 0;
      at = blanks;
    }
    first = false;
    if (sql.size() - at < word.size() || !equalNoCase(sql.substr(at, word.size()), word)) return 0;
    at += word.size();
  }
  if (at < sql.size() && isWordChar(sql[at])) return 0;
  return at - pos;
}

}  // namespace

std::string postgresSql(std::string_view sql) {
  std::string out;
  out.reserve(sql.size() + 32);
  int largest = 0;
  bool ignoreConflicts = false;
  for (size_t i = 0; i < sql.size();) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      // Copied as it is, a doubled quote inside included.
      size_t end = i + 1;
      for (;;) {
        end = sql.find(c, end);
        if (end == std::string_view::npos) {
          end = sql.size();
          break;
        }
        if (end + 1 < sql.size() && sql[end + 1] == c) {
          end += 2;
          continue;
        }
        ++end;
        break;
      }
      out.append(sql.substr(i, end - i));
      i = end;
      continue;
    }
    if (c == '?') {
      size_t end = i + 1;
      while (end < sql.size() && std::isdigit(static_cast<unsigned char>(sql[end]))) ++end;
      int number = end > i + 1 ? std::stoi(std::string(sql.substr(i + 1, end - i - 1))) : largest + 1;
      if (number > largest) largest = number;
      out += '$';
      out += std::to_string(number);
      i = end;
      continue;
    }
    if (size_t n = matchWords(sql, i, {"INSERT", "OR", "IGNORE", "INTO"})) {
      out += "INSERT INTO";
      ignoreConflicts = true;
      i += n;
      continue;
    }
    if (size_t n = matchWords(sql, i, {"GLOB"})) {
      out += "SIMILAR TO";
      i += n;
      continue;
    }
    if (size_t n = matchWords(sql, i, {"COLLATE", "BINARY"})) {
      out += "COLLATE \"C\"";
      i += n;
      continue;
    }
    if ((c == 't' || c == 'T') && (i == 0 || !isWordChar(sql[i - 1])) && sql.size() - i > 5 &&
        equalNoCase(sql.substr(i, 5), "temp.")) {
      out += "pg_temp.";
      i += 5;
      continue;
    }
    if (isWordChar(c)) {
      // A whole word at once, so that no keyword is matched inside an identifier.
      size_t end = i;
      while (end < sql.size() && isWordChar(sql[end])) ++end;
      out.append(sql.substr(i, end - i));
      i = end;
      continue;
    }
    out += c;
    ++i;
  }
  if (ignoreConflicts) {
    while (!out.empty() && (out.back() == ';' || std::isspace(static_cast<unsigned char>(out.back())))) {
      out.pop_back();
    }
    out += " ON CONFLICT DO NOTHING";
  }
  return out;
}

}  // namespace mdserver
