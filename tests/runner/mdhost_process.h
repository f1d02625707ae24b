// Runs build/bin/mdhost as a separate process, as users and scripts run it: arguments, a text on
// standard input, a working folder; standard output, standard error and the exit status back.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace mdhost_test {

namespace fs = std::filesystem;

inline const fs::path kMdhost = fs::path(RUX_BUILD_DIR) / "bin" / "mdhost";

struct Transcript {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh folder under the system's temporary folder, removed with the object.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& name)
      : path_(fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Standard input comes from a file holding `input`; the outputs go to files, so neither can
// block the other.
inline Transcript runMdhost(const std::vector<std::string>& arguments, const std::string& input = "",
                     const fs::path& folder = fs::current_path()) {
  TemporaryFolder io("mdhost-process");
  std::ofstream(io / "in", std::ios::binary) << input;
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(folder.c_str()) != 0) _exit(126);
    const int in = open((io / "in").c_str(), O_RDONLY);
    const int out = open((io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(kMdhost.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(kMdhost.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  Transcript run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = readFile(io / "out");
  run.err = readFile(io / "err");
  return run;
}

}  // namespace mdhost_test
