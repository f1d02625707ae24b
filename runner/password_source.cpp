// The password sources of mdhost; order and contract in password_source.h.
#include "runner/password_source.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

namespace runner {
namespace {

// Reads one line from the terminal with echo switched off, restoring the terminal after.
std::string promptWithoutEcho(const std::string& user) {
  std::cerr << "Password for " << user << ": " << std::flush;
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string password;
  std::getline(std::cin, password);
  if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::cerr << "\n";
  return password;
}

}  // namespace

std::optional<std::string> resolvePassword(const CommandLine& line, std::string* error) {
  if (!line.user) return std::string();
  if (line.password) return *line.password;
  if (line.passwordFile) {
    std::ifstream in(*line.passwordFile, std::ios::binary);
    if (!in) {
      *error = "--password-file " + *line.passwordFile + ": cannot be read";
      return std::nullopt;
    }
    std::string password;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
  }
  if (const char* variable = std::getenv(kPasswordVariable); variable != nullptr) {
    return std::string(variable);
  }
  if (isatty(STDIN_FILENO)) return promptWithoutEcho(*line.user);
  return std::string();
}

}  // namespace runner
