// mdhost access; usage in access_command.h.
#include "runner/access_command.h"

#include <iostream>

#include <nlohmann/json.hpp>

#include "runner/command_line.h"
#include "runner/password_source.h"
#include "runner/repository_service.h"

namespace runner {
namespace {

constexpr const char* kUsage =
    "usage: mdhost access [--repository FILE] [--user NAME] [--password TEXT | --password-file "
    "FILE] [--identity NAME] [--json] OBJECT PERMISSION";

int usage(const std::string& problem) {
  std::cerr << "mdhost access: " << problem << "\n" << kUsage << "\n";
  return 2;
}

}  // namespace

int accessCommand(const std::vector<std::string>& arguments) {
  CommandLine line;
  std::string identity;
  bool json = false;
  std::vector<std::string> operands;
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    const bool takesValue = word == "--repository" || word == "--user" || word == "--password" ||
                            word == "--password-file" || word == "--identity" ||
                            word == "--tls-ca";
    if (takesValue) {
      if (i + 1 >= arguments.size()) return usage(word + " needs a value");
      const std::string& value = arguments[++i];
      if (word == "--repository") line.repository = value;
      if (word == "--user") line.user = value;
      if (word == "--password") line.password = value;
      if (word == "--password-file") line.passwordFile = value;
      if (word == "--identity") identity = value;
      if (word == "--tls-ca") line.tlsCa = value;
    } else if (word == "--json") {
      json = true;
    } else if (word == "--help") {
      std::cout << kUsage << "\n";
      return 0;
    } else if (word.size() > 1 && word[0] == '-' && word[1] == '-') {
      return usage(unknownOption(word, /*quoted=*/false));
    } else {
      operands.push_back(word);
    }
  }
  if (operands.size() != 2) return usage("give OBJECT and PERMISSION");
  std::string error;
  const std::optional<std::string> password = resolvePassword(line, &error);
  if (!password) return usage(error);
  auto repository =
      RepositoryService::open(line.repository, Credentials{line.user.value_or(""), *password},
                              /*verbose=*/false, &error, line.tlsCa);
  if (!repository) {
    std::cerr << "mdhost access: " << error << "\n";
    return 2;
  }
  mdserver::AccessExplanation explanation;
  if (!repository->explain(nullptr, operands[0], operands[1], identity, explanation, &error)) {
    std::cerr << "mdhost access: " << error << "\n";
    return 2;
  }
  const std::string subject =
      identity.empty() ? (line.user ? "user " + *line.user : std::string("the local administrator"))
                       : "identity " + identity;
  if (json) {
    // The same facts as the text, and the steps access() gives a program.
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const mdserver::ExplanationStep& s : explanation.steps) {
      steps.push_back({{"role", s.role}, {"level", s.level}, {"source", s.source},
                       {"sourceName", s.sourceName}, {"identity", s.identity},
                       {"identityName", s.identityName}, {"permission", s.permission},
                       {"grant", s.grant}});
    }
    nlohmann::ordered_json out = {{"object", operands[0]},
                                  {"permission", operands[1]},
                                  {"target", explanation.target},
                                  {"for", subject},
                                  {"granted", explanation.granted},
                                  {"summary", explanation.summary},
                                  {"lines", mdserver::explanationLines(explanation)},
                                  {"steps", steps}};
    std::cout << out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    return explanation.granted ? 0 : 1;
  }
  std::cout << operands[1] << " on " << operands[0] << " (" << explanation.target << ") for "
            << subject << "\n";
  for (const std::string& text : mdserver::explanationLines(explanation)) std::cout << text << "\n";
  return explanation.granted ? 0 : 1;
}

}  // namespace runner
