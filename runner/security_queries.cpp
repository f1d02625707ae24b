// Shared pieces of mdhost audit, who and what; see security_queries.h.
#include "runner/security_queries.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "runner/command_line.h"
#include "runner/password_source.h"

namespace runner {

std::string readQueryOptions(const std::vector<std::string>& arguments,
                             const std::set<std::string>& valued,
                             const std::set<std::string>& flags, QueryOptions& out) {
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (valued.count(word)) {
      if (i + 1 >= arguments.size()) return word + " needs a value";
      out.values[word] = arguments[++i];
    } else if (flags.count(word)) {
      out.flags.insert(word);
    } else if (word.size() > 1 && word[0] == '-' && word[1] == '-') {
      return "unknown option " + word;
    } else {
      out.operands.push_back(word);
    }
  }
  return {};
}

std::optional<OpenedRepository> openForQuery(const QueryOptions& options, const std::string& user,
                                             std::string* error) {
  CommandLine line;
  line.repository = options.value("--repository");
  if (!user.empty()) line.user = user;
  if (options.has("--password")) line.password = options.value("--password");
  if (options.has("--password-file")) line.passwordFile = options.value("--password-file");
  const std::optional<std::string> password = resolvePassword(line, error);
  if (!password) return std::nullopt;
  OpenedRepository opened;
  opened.service = RepositoryService::open(line.repository, Credentials{user, *password},
                                           /*verbose=*/false, error);
  if (!opened.service) return std::nullopt;
  if (!opened.service->principalFor(nullptr, opened.principal, error)) return std::nullopt;
  return opened;
}

std::optional<int64_t> parseSince(const std::string& text, int64_t nowMs) {
  if (text.size() >= 2 && std::isdigit(static_cast<unsigned char>(text[0]))) {
    const char unit = text.back();
    const std::string digits = text.substr(0, text.size() - 1);
    const bool allDigits = digits.find_first_not_of("0123456789") == std::string::npos;
    const int64_t scale = unit == 's' ? 1000 : unit == 'm' ? 60'000 : unit == 'h' ? 3'600'000
                                             : unit == 'd' ? 86'400'000 : 0;
    if (allDigits && scale != 0 && digits.size() < 12) {
      return nowMs - std::stoll(digits) * scale;
    }
  }
  std::tm t{};
  int fields = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char zone[4] = {0};
  fields = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%3s", &year, &month, &day, &hour,
                       &minute, &second, zone);
  const bool dateOnly = fields == 3 && text.size() == 10;
  const bool minutes = fields == 5 && (text.size() == 16 || (text.size() == 17 && text[16] == 'Z'));
  const bool seconds = (fields == 6 && text.size() == 19) ||
                       (fields == 7 && text.size() == 20 && std::string(zone) == "Z");
  if (!dateOnly && !minutes && !seconds) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<int64_t>(timegm(&t)) * 1000;
}

std::optional<size_t> parseCount(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<size_t>(std::stoul(text));
}

}  // namespace runner
