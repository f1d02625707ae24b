// mdhost access; usage in access_command.h.
#include "runner/access_command.h"

#include <iostream>

#include "runner/command_line.h"
#include "runner/password_source.h"
#include "runner/repository_service.h"

namespace runner {
namespace {

constexpr const char* kUsage =
    "usage: mdhost access [--repository FILE] [--user NAME] [--password TEXT | --password-file "
    "FILE] [--identity NAME] OBJECT PERMISSION";

int usage(const std::string& problem) {
  std::cerr << "mdhost access: " << problem << "\n" << kUsage << "\n";
  return 2;
}

}  // namespace

int accessCommand(const std::vector<std::string>& arguments) {
  CommandLine line;
  std::string identity;
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
    } else if (word == "--help") {
      std::cout << kUsage << "\n";
      return 0;
    } else if (word.size() > 1 && word[0] == '-' && word[1] == '-') {
      return usage("unknown option " + word);
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
  std::cout << operands[1] << " on " << operands[0] << " (" << explanation.target << ") for "
            << (identity.empty() ? (line.user ? "user " + *line.user : std::string("the local administrator"))
                                 : "identity " + identity)
            << "\n";
  for (const std::string& text : mdserver::explanationLines(explanation)) std::cout << text << "\n";
  return explanation.granted ? 0 : 1;
}

}  // namespace runner
