// What `mdhost repo import|export` shares between a repository of its own
// (repository_commands.cpp) and a network server (remote_seed_commands.cpp): the exit statuses,
// the one form of a refusal, and which paths are seeds and which repositories.
#pragma once

#include <iostream>
#include <string>

#include "runner/repository_files.h"

namespace runner::repo_command {

inline constexpr int kFailed = 1;  // a seed, repository, login or request that was refused
inline constexpr int kUsage = 2;   // a path that breaks the file rule, or cannot be opened

// "mdhost repo COMMAND: MESSAGE" on standard error; the exit status given.
inline int refuse(const char* command, const std::string& message, int status) {
  std::cerr << "mdhost repo " << command << ": " << message << "\n";
  return status;
}

// A seed file (.json) or "-" (standard input or output).
inline bool isSeed(const std::string& path) {
  const RepositoryFileKind kind = repositoryFileKind(path);
  return kind == RepositoryFileKind::kSeed || kind == RepositoryFileKind::kStandardStream;
}

// A repository file (.db) or a PostgreSQL repository.
inline bool isDatabase(const std::string& path) {
  const RepositoryFileKind kind = repositoryFileKind(path);
  return kind == RepositoryFileKind::kDatabase || kind == RepositoryFileKind::kServer;
}

}  // namespace runner::repo_command
