// Canary: no password and no password hash leaves mdhost through any output. Runs the real
// program with a login (right and wrong, from each password source), with --stats and a log
// file, through every security function, then imports and exports the sample repository, and
// searches everything written for the sample's passwords and for any hash string. The export
// must carry hashes (that is how logins survive it) but never a clear password.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kMdhost = fs::path(RUX_BUILD_DIR) / "bin" / "mdhost";
const fs::path kSample = fs::path(RUX_SOURCE_DIR) / "examples" / "sample_repository.json";
const std::vector<std::string> kPasswords = {"ada.pass", "bo.pass", "chen.pass", "dee.pass",
                                             "not-the-password-7"};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class SecurityCanaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp = fs::temp_directory_path() / ("mdhost-canary-" + std::to_string(::getpid()));
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    std::ofstream(tmp / "program.lua") << R"lua(
local t2, t1, t3, t4 = char(20), char(30), char(20), char(40)
for n = 1, 12 do metasec_getnid("", "FOUNDATION", n, t2, t1, 0, t3, t4) end
local code, p, q = char(8), char(20), char(40)
for n = 1, 12 do metasec_getnauth("", "FOUNDATION", n, t2, t1, code, p, q, 2) end
metasec_ldump("", "", 0, "y", "", "")
local tx = char(40)
metasec_begtran("", 0, tx)
metasec_setauth(tx.trimmed, "", "Person", "Dee Novak", "G", "Read", "")
metasec_endtran("", tx.trimmed, 2)
metasec_setauth("", "", "Person", "Nobody", "G", "Read", "")
print(symget("SYSMSG"), symget("SYSRC"))
for _, line in ipairs(hostlog()) do print(line) end
)lua";
    std::ofstream(tmp / "password") << "dee.pass\n";
  }
  void TearDown() override { fs::remove_all(tmp); }

  // Runs mdhost with a shell prefix (environment) and arguments; returns stdout and stderr.
  std::string run(const std::string& prefix, const std::string& arguments) {
    const std::string command = prefix + " " + kMdhost.string() + " " + arguments + " </dev/null >" +
                                (tmp / "out").string() + " 2>" + (tmp / "err").string();
    ran.push_back(std::system(command.c_str()));
    return readFile(tmp / "out") + readFile(tmp / "err");
  }

  fs::path tmp;
  std::vector<int> ran;
};

TEST_F(SecurityCanaryTest, NoPasswordOrHashInAnyOutputLogStatisticsOrExport) {
  std::vector<std::pair<std::string, std::string>> outputs;
  const std::string program = (tmp / "program.lua").string();
  const std::string log = (tmp / "host.log").string();
  for (const auto& [prefix, user] : std::vector<std::pair<std::string, std::string>>{
           {"", "--user ada --password ada.pass"},
           {"", "--user bo --password not-the-password-7"},
           {"MDHOST_PASSWORD=chen.pass", "--user chen"},
           {"", "--user dee --password-file " + (tmp / "password").string()},
           {"", ""}}) {
    const std::string text = run(prefix, user + " --stats --log " + log + " " + program);
    outputs.emplace_back("run " + user, text);
    outputs.emplace_back("log of " + user, readFile(log));
    EXPECT_NE(text.find("mdhost statistics"), std::string::npos) << user;
  }
  const std::string db = (tmp / "x.db").string();
  const std::string exported = (tmp / "exported.json").string();
  outputs.emplace_back("import", run("", "repo import " + kSample.string() + " " + db));
  outputs.emplace_back("export", run("", "repo export " + db + " " + exported));
  // Every run did its work but the one with the wrong password, whose login failed (3).
  for (size_t i = 0; i < ran.size(); ++i) {
    EXPECT_EQ(WIFEXITED(ran[i]) ? WEXITSTATUS(ran[i]) : -1, i == 1 ? 3 : 0) << "run " << i;
  }

  for (const auto& [what, text] : outputs) {
    for (const std::string& password : kPasswords) {
      EXPECT_EQ(text.find(password), std::string::npos) << password << " in " << what;
    }
    EXPECT_EQ(text.find("$argon2"), std::string::npos) << "a hash in " << what;
  }
  // The logins ran: the administrator's listing reached the log, the wrong password did not.
  EXPECT_NE(outputs[1].second.find("bo, ********,A0000001.LOGIN002"), std::string::npos);
  EXPECT_NE(outputs[3].second.find("login failed for user 'bo'"), std::string::npos);

  const std::string seed = readFile(exported);
  EXPECT_NE(seed.find("\"passwordHash\": \"$argon2id$"), std::string::npos);
  for (const std::string& password : kPasswords) {
    EXPECT_EQ(seed.find(password), std::string::npos) << password << " in the export";
  }
  // The exported hashes still let the users in.
  std::ofstream(tmp / "whoami.lua") << "local t = char(20) print(metasec_getnid('', 'FOUNDATION', 1, t, t))";
  const std::string whoami = run("", "--repository " + exported + " --user bo --password bo.pass " +
                                         (tmp / "whoami.lua").string());
  EXPECT_EQ(whoami.rfind("1\n", 0), 0u) << whoami;
}

// A password given to a misspelled option is still a password: no subcommand that reads options
// of its own repeats it when it refuses the option.
TEST_F(SecurityCanaryTest, AMisspelledPasswordOptionIsRefusedWithoutShowingItsValue) {
  const std::string db = (tmp / "x.db").string();
  run("", "repo import " + kSample.string() + " " + db);
  const std::string canary = "--passwrd=dee.pass";
  for (const std::string& words :
       {canary + " " + (tmp / "program.lua").string(),
        "repo import " + canary + " " + kSample.string() + " " + (tmp / "y.db").string(),
        "access --repository " + db + " " + canary + " A0000001.TABLE003 Read",
        "audit --repository " + db + " " + canary,
        "who --repository " + db + " A0000001.TABLE003 Read " + canary,
        "what --repository " + db + " Ada Read " + canary,
        "--repository " + db + " ls " + canary + " PhysicalTable"}) {
    ran.clear();
    const std::string text = run("", words);
    EXPECT_EQ(WIFEXITED(ran[0]) ? WEXITSTATUS(ran[0]) : -1, 2) << words << ": " << text;
    EXPECT_NE(text.find("--passwrd"), std::string::npos) << words << ": " << text;
    EXPECT_EQ(text.find("dee.pass"), std::string::npos) << words << ": " << text;
  }
}

}  // namespace
