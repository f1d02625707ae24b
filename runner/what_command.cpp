// mdhost what: every object an identity may use a permission on; usage in security_queries.h.
#include <iostream>

#include <nlohmann/json.hpp>

#include "mdserver/base/status_codes.h"
#include "runner/security_queries.h"

namespace runner {
namespace {

constexpr const char* kUsage =
    "usage: mdhost what [--repository FILE|https://HOST:PORT] [--tls-ca FILE] [--user NAME] [--password TEXT | --password-file "
    "FILE] [--identity NAME] [--type TYPE] [--cursor C] [--limit N] [--json] PERMISSION";

int usage(const std::string& problem) {
  std::cerr << "mdhost what: " << problem << "\n" << kUsage << "\n";
  return 2;
}

}  // namespace

int whatCommand(const std::vector<std::string>& arguments) {
  QueryOptions options;
  const std::string problem = readQueryOptions(
      arguments,
      {"--repository", "--tls-ca", "--user", "--password", "--password-file", "--identity", "--type",
       "--cursor", "--limit"},
      {"--json", "--help"}, options);
  if (!problem.empty()) return usage(problem);
  if (options.flags.count("--help")) {
    std::cout << kUsage << "\n";
    return 0;
  }
  if (options.operands.size() != 1) return usage("give PERMISSION");
  mdserver::PageRequest page;
  page.limit = 0;
  page.cursor = options.value("--cursor");
  if (options.has("--limit")) {
    const auto limit = parseCount(options.value("--limit"));
    if (!limit) return usage("--limit " + options.value("--limit") + ": give a whole number");
    page.limit = *limit;
  }
  std::string error;
  auto opened = openForQuery(options, options.value("--user"), &error);
  if (!opened) {
    std::cerr << "mdhost what: " << error << "\n";
    return 2;
  }
  mdserver::WhatPage answer;
  const mdserver::Outcome asked =
      askWhat(*opened->service, nullptr, options.value("--identity"), options.operands[0],
              options.value("--type"), page, answer);
  if (!asked.ok()) {
    std::cerr << "mdhost what: " << asked.message << "\n";
    return asked.status == mdserver::kStatusAdministerDenied ? 1 : 2;
  }
  if (options.flags.count("--json")) {
    nlohmann::json out = {{"identity", answer.identityId}, {"objects", nlohmann::json::array()}};
    for (const auto& o : answer.objects) {
      out["objects"].push_back({{"id", o.id}, {"type", o.type}, {"name", o.name}});
    }
    out["nextCursor"] = answer.nextCursor.empty() ? nlohmann::json() : nlohmann::json(answer.nextCursor);
    std::cout << out.dump(2) << "\n";
    return 0;
  }
  for (const auto& o : answer.objects) {
    std::cout << o.id << " " << o.type << " '" << o.name << "'\n";
  }
  if (!answer.nextCursor.empty()) {
    std::cout << "(more may follow: --cursor " << answer.nextCursor << ")\n";
  }
  return 0;
}

}  // namespace runner
