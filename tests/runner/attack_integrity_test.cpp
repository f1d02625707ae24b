// An attacker's tries at mdhost's own integrity: a --log that names the password file (the run
// would replace the password with the log, and what the log says about the failed login after
// it), and a script that cannot tell a run whose login failed from one that did its work.
#include <gtest/gtest.h>

#include <fstream>

#include "mdhost_process.h"

namespace {

using mdhost_test::readFile;
using mdhost_test::runMdhost;
using mdhost_test::TemporaryFolder;

// A program that needs the repository: the first identity of FOUNDATION.
constexpr const char* kProgram =
    "local t = char(20) print(metasec_getnid('', 'FOUNDATION', 1, t, t))";

TEST(AttackIntegrityMdhost, ALogOntoThePasswordFileIsRefusedAndThePasswordStays) {
  TemporaryFolder folder("mdhost-attack-log");
  const std::string password = (folder / "password").string();
  std::ofstream(password) << "bo.pass\n";
  for (const std::string& log : {password, (folder / "." / "password").string()}) {
    const mdhost_test::Transcript run =
        runMdhost({"--user", "bo", "--password-file", password, "--log", log, "-e", kProgram});
    EXPECT_NE(run.status, 0) << log;
    EXPECT_NE(run.err.find("--log"), std::string::npos) << run.err;
    EXPECT_EQ(readFile(password), "bo.pass\n") << "the password file was overwritten";
    EXPECT_EQ(run.err.find("bo.pass"), std::string::npos);
  }
}

TEST(AttackIntegrityMdhost, AFailedLoginEndsWithAStatusOtherThanSuccess) {
  TemporaryFolder folder("mdhost-attack-login");
  const std::string password = (folder / "password").string();
  std::ofstream(password) << "not-bo's\n";
  for (const std::vector<std::string>& who :
       {std::vector<std::string>{"--user", "bo", "--password", "wrong-guess"},
        std::vector<std::string>{"--user", "nobody", "--password", "bo.pass"},
        std::vector<std::string>{"--user", "bo", "--password-file", password}}) {
    std::vector<std::string> arguments = who;
    arguments.insert(arguments.end(), {"-e", kProgram});
    const mdhost_test::Transcript run = runMdhost(arguments);
    EXPECT_NE(run.status, 0) << who[1] << ": " << run.out << run.err;
    EXPECT_NE(run.out.find("-1"), std::string::npos) << "the program still ran: " << run.out;
    for (const char* secret : {"wrong-guess", "bo.pass", "not-bo's"}) {
      EXPECT_EQ(run.err.find(secret), std::string::npos) << secret;
    }
  }
  // The right password still ends with 0.
  const mdhost_test::Transcript fine =
      runMdhost({"--user", "bo", "--password", "bo.pass", "-e", kProgram});
  EXPECT_EQ(fine.status, 0) << fine.err;
}

}  // namespace
