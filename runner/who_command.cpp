// mdhost who: every identity holding a permission on a target; usage in security_queries.h.
#include <iostream>

#include <nlohmann/json.hpp>

#include "runner/security_queries.h"

namespace runner {

int whoCommand(const std::vector<std::string>& arguments) {
  const PagedQueryCommand command{
      "who",
      "usage: mdhost who [--repository FILE|https://HOST:PORT] [--tls-ca FILE] [--user NAME] "
      "[--password TEXT | --password-file FILE] [--cursor C] [--limit N] [--json] TARGET "
      "PERMISSION",
      {}, 2, "give TARGET and PERMISSION"};
  mdserver::WhoPage answer;
  return runPagedQuery(
      command, arguments,
      [&](RepositoryService& service, const QueryOptions& options, const mdserver::PageRequest& page) {
        return askWho(service, nullptr, options.operands[0], options.operands[1], page, answer);
      },
      [&](bool json) {
        if (json) {
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
          out["nextCursor"] =
              answer.nextCursor.empty() ? nlohmann::json() : nlohmann::json(answer.nextCursor);
          std::cout << out.dump(2) << "\n";
          return;
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
      });
}

}  // namespace runner
