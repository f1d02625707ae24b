// mdhost what: every object an identity may use a permission on; usage in security_queries.h.
#include <iostream>

#include <nlohmann/json.hpp>

#include "runner/security_queries.h"

namespace runner {

int whatCommand(const std::vector<std::string>& arguments) {
  const PagedQueryCommand command{
      "what",
      "usage: mdhost what [--repository FILE|https://HOST:PORT] [--tls-ca FILE] [--user NAME] "
      "[--password TEXT | --password-file FILE] [--identity NAME] [--type TYPE] [--cursor C] "
      "[--limit N] [--json] PERMISSION",
      {"--identity", "--type"}, 1, "give PERMISSION"};
  mdserver::WhatPage answer;
  return runPagedQuery(
      command, arguments,
      [&](RepositoryService& service, const QueryOptions& options, const mdserver::PageRequest& page) {
        return askWhat(service, nullptr, options.value("--identity"), options.operands[0],
                       options.value("--type"), page, answer);
      },
      [&](bool json) {
        if (json) {
          nlohmann::json out = {{"identity", answer.identityId}, {"objects", nlohmann::json::array()}};
          for (const auto& o : answer.objects) {
            out["objects"].push_back({{"id", o.id}, {"type", o.type}, {"name", o.name}});
          }
          out["nextCursor"] =
              answer.nextCursor.empty() ? nlohmann::json() : nlohmann::json(answer.nextCursor);
          std::cout << out.dump(2) << "\n";
          return;
        }
        for (const auto& o : answer.objects) {
          std::cout << o.id << " " << o.type << " '" << o.name << "'\n";
        }
        if (!answer.nextCursor.empty()) {
          std::cout << "(more may follow: --cursor " << answer.nextCursor << ")\n";
        }
      });
}

}  // namespace runner
