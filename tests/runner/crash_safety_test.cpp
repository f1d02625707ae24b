// Crash safety of a file repository, tried the way it fails in the field: mdhost runs a Lua
// program that writes a stream of changes and prints a line for each change once the call that
// made it has returned; the test kills it with SIGKILL at a random moment. After every kill the
// file must pass SQLite's integrity check and hold every change the program reported, and the
// changes must form an unbroken run: nothing after a hole, nothing half made but the last.
// Two programs writing one file at once must both finish, or one must stop with a clear
// message, and again nothing either reported may be missing.
//
// The moments are random: the seed is printed, and CRASH_SAFETY_SEED=N replays one run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mdserver/model/repository.h"
#include "tests/runner/mdhost_process.h"

namespace {

namespace fs = std::filesystem;
using mdhost_test::kMdhost;
using mdhost_test::TemporaryFolder;

// Each step makes an object, then gives it an attribute in a second change, then says so.
constexpr char kWriter[] = R"lua(
local tag, count = arg[1], tonumber(arg[2])
for i = 1, count do
  local uri = char(60)
  local rc = metadata_newobj("Person", uri, tag .. "-" .. i)
  if rc ~= 0 then error("step " .. i .. ": METADATA_NEWOBJ gave " .. rc .. ": " .. symget("SYSMSG")) end
  rc = metadata_setattr(uri.trimmed, "Step", tag .. " " .. i)
  if rc ~= 0 then error("step " .. i .. ": METADATA_SETATTR gave " .. rc .. ": " .. symget("SYSMSG")) end
  io.write("done ", i, " ", uri.trimmed, "\n")
  io.stdout:flush()
end
)lua";

constexpr char kSeed[] = R"json({
  "types": ["Person"],
  "repositories": [{"id": "A5CRASH1", "name": "Crash", "description": "kill trials"}],
  "objects": []
})json";

// A writer started as a separate process; its standard output is a pipe the test reads line
// by line, its standard error a file.
class Writer {
 public:
  Writer(const fs::path& folder, const fs::path& database, const std::string& tag, int count)
      : errorFile_(folder / (tag + ".err")) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      const int err = open(errorFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(pipeEnds[1], 1);
      dup2(err, 2);
      close(pipeEnds[0]);
      std::vector<std::string> words{kMdhost.string(), "--repository", database.string(),
                                     (folder / "writer.lua").string(), tag, std::to_string(count)};
      std::vector<char*> argv;
      for (std::string& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      execv(kMdhost.c_str(), argv.data());
      _exit(127);
    }
    close(pipeEnds[1]);
    out_ = pipeEnds[0];
  }
  ~Writer() {
    if (pid_ > 0) kill(SIGKILL);
    if (out_ >= 0) close(out_);
  }

  // Reads what has arrived; waits up to timeoutMs for more. False once the pipe is closed.
  bool readSome(int timeoutMs) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1)) {
      int step = 0;
      char id[64] = {};
      if (std::sscanf(pending_.c_str(), "done %d VQSOBJ:Person\\%63s", &step, id) == 2) {
        reported_[step] = id;
      } else {
        ADD_FAILURE() << "unexpected output line: " << pending_.substr(0, end);
      }
    }
    return true;
  }
  void readUntilReported(size_t steps) {
    for (int rounds = 0; reported_.size() < steps && rounds < 2000; ++rounds) {
      if (!readSome(10)) return;
    }
  }
  // Waits for the end and reads the rest; the exit status, or 128 + signal.
  int kill(int signal) {
    ::kill(pid_, signal);
    return finish();
  }
  int finish() {
    while (readSome(50)) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::map<int, std::string>& reported() const { return reported_; }
  std::string errors() const { return mdhost_test::readFile(errorFile_); }

 private:
  fs::path errorFile_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  std::map<int, std::string> reported_;  // step -> object identifier
};

std::string integrityCheck(const fs::path& database) {
  sqlite3* db = nullptr;
  std::string verdict;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    verdict = "cannot open: " + std::string(db ? sqlite3_errmsg(db) : "out of memory");
  } else {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
    while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
      verdict += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    if (stmt == nullptr) verdict = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return verdict;
}

// Every step the writer reported is in the file, whole; the steps present form 1..m with at
// most one unreported step at the end (it may have lost its attribute to the kill).
void expectReportedChangesKept(mdserver::Repository& repository, const std::string& tag,
                               const std::map<int, std::string>& reported) {
  for (const auto& [step, id] : reported) {
    SCOPED_TRACE(tag + " step " + std::to_string(step) + " (" + id + ")");
    std::optional<mdserver::ObjectRow> row = repository.object(id);
    ASSERT_TRUE(row.has_value()) << "a reported object is missing";
    EXPECT_EQ(row->name, tag + "-" + std::to_string(step));
    std::optional<std::string> value;
    ASSERT_TRUE(repository.attribute(id, "Step", value).ok());
    EXPECT_EQ(value.value_or("<none>"), tag + " " + std::to_string(step));
  }
  std::vector<mdserver::ObjectRow> found;
  // Tags are "t<trial>", "left" and "right": no tag followed by '-' is part of another.
  mdserver::Outcome listed =
      repository.resolve("vqsobj:Person?contains(@Name, '" + tag + "-')", 0, found);
  ASSERT_TRUE(listed.ok() || listed.status == kStatusNoMatch) << listed.message;
  const size_t lastReported = reported.empty() ? 0 : static_cast<size_t>(reported.rbegin()->first);
  EXPECT_LE(found.size(), lastReported + 1) << "objects of " << tag << " beyond the last report";
  EXPECT_EQ(reported.size(), lastReported) << "the writer skipped a report";
}

std::unique_ptr<mdserver::Repository> openRepository(const fs::path& database) {
  std::string error;
  auto repository = mdserver::Repository::open(database.string(), &error);
  EXPECT_NE(repository, nullptr) << error;
  return repository;
}

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* fixed = std::getenv("CRASH_SAFETY_SEED");
    seed_ = fixed != nullptr ? std::strtoull(fixed, nullptr, 10) : std::random_device{}();
    std::printf("crash safety seed: %llu (CRASH_SAFETY_SEED replays it)\n",
                static_cast<unsigned long long>(seed_));
    random_.seed(seed_);
    std::ofstream(folder_ / "writer.lua") << kWriter;
    std::ofstream(folder_ / "seed.json") << kSeed;
    mdhost_test::Transcript made = mdhost_test::runMdhost(
        {"repo", "import", (folder_ / "seed.json").string(), database_.string()});
    ASSERT_EQ(made.status, 0) << made.err;
  }

  TemporaryFolder folder_{"crash-safety"};
  fs::path database_ = folder_ / "stream.db";
  uint64_t seed_ = 0;
  std::mt19937_64 random_;
};

TEST_F(CrashSafety, KilledWritersLoseNothingTheyReported) {
  constexpr int kTrials = 24;
  std::map<std::string, std::map<int, std::string>> history;  // every trial so far
  int killedWhileWriting = 0;
  for (int trial = 1; trial <= kTrials; ++trial) {
    const std::string tag = "t" + std::to_string(trial);
    SCOPED_TRACE("trial " + std::to_string(trial) + ", seed " + std::to_string(seed_));
    // A kill lands after a random number of reported steps (none: while mdhost starts and
    // opens the file) and a random pause, so it falls anywhere inside a change.
    const size_t reportsFirst = std::uniform_int_distribution<size_t>(0, 6)(random_);
    const int pauseMicroseconds = std::uniform_int_distribution<int>(0, 4000)(random_);
    {
      Writer writer(folder_.path(), database_, tag, 10000);
      writer.readUntilReported(reportsFirst);
      std::this_thread::sleep_for(std::chrono::microseconds(pauseMicroseconds));
      const int status = writer.kill(SIGKILL);
      if (status != 128 + SIGKILL) ADD_FAILURE() << "writer ended by itself: " << writer.errors();
      if (!writer.reported().empty()) ++killedWhileWriting;
      history[tag] = writer.reported();
    }
    ASSERT_EQ(integrityCheck(database_), "ok");
    auto repository = openRepository(database_);
    ASSERT_NE(repository, nullptr);
    // The changes of earlier trials stay too: recovery after a later kill must not undo them.
    for (const auto& [earlier, reported] : history) {
      expectReportedChangesKept(*repository, earlier, reported);
    }
    if (HasFatalFailure()) return;
  }
  // Most kills must have met a writer at work, or the test proves little.
  EXPECT_GE(killedWhileWriting, kTrials / 2);
  std::printf("crash safety: %d kill trials, %d after the first reported change\n", kTrials,
              killedWhileWriting);
}

TEST_F(CrashSafety, TwoWritersOnOneFileLoseNothing) {
  constexpr int kSteps = 40;
  Writer first(folder_.path(), database_, "left", kSteps);
  Writer second(folder_.path(), database_, "right", kSteps);
  // Both must be reading their output, or a full pipe would stall them.
  bool firstOpen = true, secondOpen = true;
  while (firstOpen || secondOpen) {
    if (firstOpen) firstOpen = first.readSome(5);
    if (secondOpen) secondOpen = second.readSome(5);
  }
  const int firstStatus = first.finish();
  const int secondStatus = second.finish();
  int finished = 0;
  for (auto [status, writer] : {std::pair{firstStatus, &first}, std::pair{secondStatus, &second}}) {
    if (status == 0) {
      ++finished;
      EXPECT_EQ(writer->reported().size(), static_cast<size_t>(kSteps));
    } else {
      // A writer that gives up says why, in the words of the failing function.
      EXPECT_EQ(status, 1) << writer->errors();
      EXPECT_NE(writer->errors().find("gave"), std::string::npos) << writer->errors();
    }
  }
  EXPECT_GE(finished, 1) << "left: " << first.errors() << "\nright: " << second.errors();
  std::printf("two writers: left exit %d after %zu steps, right exit %d after %zu steps\n",
              firstStatus, first.reported().size(), secondStatus, second.reported().size());
  ASSERT_EQ(integrityCheck(database_), "ok");
  auto repository = openRepository(database_);
  ASSERT_NE(repository, nullptr);
  expectReportedChangesKept(*repository, "left", first.reported());
  expectReportedChangesKept(*repository, "right", second.reported());
}

}  // namespace
