// mdhost who: every identity holding a permission on a target; usage in security_queries.h.
#include <iostream>

#include <nlohmann/json.hpp>

#include "mdserver/base/status_codes.h"
#include "runner/security_queries.h"

namespace runner {
namespace {

constexpr const char* kUsage =
    "usage: mdhost who [--repository FILE|https://HOST:PORT] [--tls-ca FILE] [--user NAME] [--password TEXT | --password-file "
    "FILE] [--cursor C] [--limit N] [--json] TARGET PERMISSION";

int usage(const std::string& problem) {
  std::cerr << "mdhost who: " << problem << "\n" << kUsage << "\n";
  return 2;
}

}  // namespace

int whoCommand(const std::vector<std::string>& arguments) {
  QueryOptions options;
  const std::string problem = readQueryOptions(
      arguments, {"--repository", "--tls-ca", "--user", "--password", "--password-file", "--cursor", "--limit"},
      {"--json", "--help"}, options);
  if (!problem.empty()) return usage(problem);
  if (options.flags.count("--help")) {
    std::cout << kUsage << "\n";
    return 0;
  }
  if (options.operands.size() != 2) return usage("give TARGET and PERMISSION");
  mdserver::PageRequest page;
  page.limit = 0;  // everything, unless a page is asked for
  page.cursor = options.value("--cursor");
  if (options.has("--limit")) {
    const auto limit = parseCount(options.value("--limit"));
    if (!limit) return usage("--limit " + options.value("--limit") + ": give a whole number");
    page.limit = *limit;
  }
  std::string error;
  auto opened = openForQuery(options, options.value("--user"), &error);
  if (!opened) {
    std::cerr << "mdhost who: " << error << "\n";
    return 2;
  }
  mdserver::WhoPage answer;
  const mdserver::Outcome asked = askWho(*opened->service, nullptr, options.operands[0],
                                         options.operands[1], page, answer);
  if (!asked.ok()) {
    std::cerr << "mdhost who: " << asked.message << "\n";
    return asked.status == mdserver::kStatusAdministerDenied ? 1 : 2;
  }
  if (options.flags.count("--json")) {
    nlohmann::json out = {{"target", answer.target},
                          {"permission", answer.permission},
                          {"identities", nlohmann::json::array()}};
    for (const auto& a : answer.answers) {
      out["identities"].push_back({{"id", a.identityId},
                                   {"name", a.identityName},
                                   {"type", a.identityType},
                                   {"decision", a.decision},
                                   {"decidingEntry", a.decidingEntry},
                                   {"decidingLevel", a.decidingLevel}});
    }
    out["nextCursor"] = answer.nextCursor.empty() ? nlohmann::json() : nlohmann::json(answer.nextCursor);
    std::cout << out.dump(2) << "\n";
    return 0;
  }
  std::cout << answer.permission << " on " << answer.target << ":\n";
  for (const auto& a : answer.answers) {
    std::cout << "  " << a.identityId << " " << a.identityType << " '" << a.identityName
              << "': " << a.decision << "\n";
  }
  if (answer.answers.empty()) std::cout << "  nobody\n";
  if (!answer.nextCursor.empty()) {
    std::cout << "(more may follow: --cursor " << answer.nextCursor << ")\n";
  }
  return 0;
}

}  // namespace runner
