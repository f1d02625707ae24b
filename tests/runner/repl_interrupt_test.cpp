// The interactive loop under a pseudo-terminal, as a user meets it: Ctrl-C stops a running chunk
// and returns to the prompt with the program's state (its variables, session and repository)
// intact; at the prompt it drops the line being typed; history is written as lines are entered;
// Ctrl-D ends the loop with status 0.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/runner/mdhost_process.h"

namespace {

using mdhost_test::kMdhost;
using mdhost_test::readFile;
using mdhost_test::TemporaryFolder;

class Terminal {
 public:
  explicit Terminal(const std::string& home) {
    pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("HOME", home.c_str(), 1);
      setenv("TERM", "dumb", 1);
      execl(kMdhost.c_str(), kMdhost.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  bool started() const { return pid_ > 0; }

  void type(const std::string& keys) {
    ASSERT_EQ(write(fd_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads until `text` has appeared after what earlier waits consumed; returns what came before
  // it (inclusive). Fails the test after a few seconds.
  std::string waitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      if (const size_t at = seen_.find(text); at != std::string::npos) {
        std::string before = seen_.substr(0, at + text.size());
        seen_.erase(0, at + text.size());
        return before;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        ADD_FAILURE() << "waited in vain for '" << text << "'; the terminal showed: " << seen_;
        return {};
      }
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        ADD_FAILURE() << "the terminal closed while waiting for '" << text << "': " << seen_;
        return {};
      }
      seen_.append(buffer, static_cast<size_t>(n));
    }
  }

  int exitStatus() {
    int status = 0;
    waitpid(pid_, &status, 0);
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  int fd_ = -1;
  pid_t pid_ = -1;
  bool ended_ = false;
  std::string seen_;
};

constexpr const char* kPrompt = "mdhost> ";

TEST(InteractiveLoop, CtrlCInterruptsTheChunkAndKeepsTheSession) {
  TemporaryFolder home("mdhost-repl-home");
  Terminal terminal(home.path().string());
  ASSERT_TRUE(terminal.started());
  terminal.waitFor(kPrompt);

  // A change to the in-memory repository that must outlive the interrupt.
  terminal.type("uri = char(60) print(metadata_newobj('Document', uri, 'Kept'))\n");
  terminal.waitFor("\n0");
  terminal.waitFor(kPrompt);
  // History is in the file as soon as the line was entered, not only at the end.
  EXPECT_NE(readFile(home / ".mdhost_history").find("metadata_newobj('Document'"),
            std::string::npos);

  terminal.type("x = 0 while true do x = x + 1 end\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  terminal.type("\x03");
  const std::string report = terminal.waitFor(kPrompt);
  EXPECT_NE(report.find("interrupted"), std::string::npos) << report;

  terminal.type("print(x > 0, metadata_resolve(uri.trimmed, char(20), char(20)))\n");
  const std::string answer = terminal.waitFor(kPrompt);
  EXPECT_NE(answer.find("true\t1"), std::string::npos) << answer;

  // At the prompt Ctrl-C drops what was typed, also in the middle of a statement.
  terminal.type("print('dropped'");
  terminal.waitFor("print('dropped'");
  terminal.type("\x03");
  terminal.waitFor(kPrompt);
  terminal.type("for i = 1, 2 do\n");
  terminal.waitFor("...> ");
  terminal.type("\x03");
  terminal.waitFor(kPrompt);
  terminal.type("print('after' .. 'wards')\n");
  const std::string after = terminal.waitFor(kPrompt);
  EXPECT_NE(after.find("afterwards"), std::string::npos) << after;
  EXPECT_EQ(after.find("dropped\r\n"), std::string::npos) << after;

  terminal.type("\x04");
  EXPECT_EQ(terminal.exitStatus(), 0);
  const std::string history = readFile(home / ".mdhost_history");
  EXPECT_NE(history.find("x = 0 while true do x = x + 1 end"), std::string::npos) << history;
  EXPECT_NE(history.find("print('after' .. 'wards')"), std::string::npos) << history;
  EXPECT_EQ(history.find("dropped"), std::string::npos) << history;
}

// Tab completes names and, inside a string, type names; values print readably; an entry typed
// over several lines comes back whole in the next session's history (Ctrl-P) and runs again.
TEST(InteractiveLoop, CompletionReadableValuesAndMultiLineHistory) {
  TemporaryFolder home("mdhost-repl-history");
  {
    Terminal terminal(home.path().string());
    ASSERT_TRUE(terminal.started());
    terminal.waitFor(kPrompt);
    terminal.type("print(describ\t(\"vqsobj:PhysicalTa\t?@Name='ORDERS'\").name)\n");
    const std::string completed = terminal.waitFor(kPrompt);
    EXPECT_NE(completed.find("ORDERS\r\n"), std::string::npos) << completed;
    terminal.type("char(8, 'ab'), {1, x = 'y'}\n");
    const std::string shown = terminal.waitFor(kPrompt);
    EXPECT_NE(shown.find("char(8) \"ab\"\t{ 1, x = \"y\" }"), std::string::npos) << shown;
    terminal.type("function twice(x)\n");
    terminal.waitFor("...> ");
    terminal.type("return 2 * x\n");
    terminal.waitFor("...> ");
    terminal.type("end\n");
    terminal.waitFor(kPrompt);
    terminal.type("\x04");
    EXPECT_EQ(terminal.exitStatus(), 0);
  }
  Terminal again(home.path().string());
  ASSERT_TRUE(again.started());
  again.waitFor(kPrompt);
  again.type("\x10\n");  // Ctrl-P: the previous entry, all three lines of it
  again.waitFor(kPrompt);
  again.type("print(twice(21))\n");
  const std::string answer = again.waitFor(kPrompt);
  EXPECT_NE(answer.find("42\r\n"), std::string::npos) << answer;
  again.type("\x04");
  EXPECT_EQ(again.exitStatus(), 0);
}

}  // namespace
