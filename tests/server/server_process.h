// An mdserver process for tests: a certificate for 127.0.0.1 made with the openssl command, the
// server started on a port the system chooses (or a given one), stopped with SIGTERM.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace server_test {

namespace fs = std::filesystem;

inline const fs::path kBin = fs::path(RUX_BUILD_DIR) / "bin";

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Folder {
 public:
  explicit Folder(const std::string& name)
      : path_(fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A self-signed certificate for 127.0.0.1 and localhost; empty when openssl failed.
inline std::string makeCertificate(const Folder& folder) {
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
      "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" +
      (folder / "key.pem").string() + "' -out '" + (folder / "cert.pem").string() +
      "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 ? (folder / "cert.pem").string() : std::string();
}

class ServerProcess {
 public:
  // Starts `mdserver serve` with the folder's certificate; extra options appended.
  ServerProcess(const Folder& folder, const std::string& repository,
                std::vector<std::string> extra = {}, int port = 0, const std::string& tag = "a")
      : log_(folder / ("server-" + tag + ".log")), out_(folder / ("server-" + tag + ".out")) {
    std::vector<std::string> arguments = {
        (kBin / "mdserver").string(), "serve", "--repository", repository, "--listen",
        "127.0.0.1:" + std::to_string(port), "--tls-cert", (folder / "cert.pem").string(),
        "--tls-key", (folder / "key.pem").string(), "--log", log_.string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    // An earlier server's output must not be read as this one's.
    std::filesystem::remove(out_);
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(out, 2);
      std::vector<char*> argv;
      for (std::string& a : arguments) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 200 && port_ == 0; ++i) {
      const std::string text = readFile(out_);
      const size_t at = text.find("listening on 127.0.0.1:");
      if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
        port_ = std::atoi(text.c_str() + at + 23);
      } else if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  }
  ~ServerProcess() { stop(); }
  // Exit status after SIGTERM (or the signal, with kill).
  int stop(int signal = SIGTERM) {
    if (pid_ <= 0) return status_;
    ::kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }
  int port() const { return port_; }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }
  std::string log() const { return readFile(log_); }
  std::string output() const { return readFile(out_); }

 private:
  fs::path log_, out_;
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
};

struct Transcript {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs mdhost with the environment additions given; standard input empty.
inline Transcript runMdhost(const Folder& folder, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& environment = {}) {
  const fs::path out = folder / "mdhost.out", err = folder / "mdhost.err";
  const pid_t child = fork();
  if (child == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    for (const std::string& setting : environment) putenv(const_cast<char*>(setting.c_str()));
    const std::string program = (kBin / "mdhost").string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  Transcript run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = readFile(out);
  run.err = readFile(err);
  return run;
}

}  // namespace server_test
