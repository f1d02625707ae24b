// The network server through the wire: what only a network has (tokens, restarts, garbage,
// several servers over one database), the same answers as in-process for whole programs, the
// documented routes, and the password canary over everything the server and mdhost write.
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <mutex>
#include <regex>
#include <thread>
#include <set>

#include "../mdserver/postgres_cluster.h"
#include "server_process.h"

namespace {

using nlohmann::json;
using namespace server_test;

const std::string kSample = MDSERVER_EXAMPLES_DIR "/sample_repository.json";
const std::string kCanary = "Canary-Pw-5e1f-9c07";

struct Answer {
  int http = -1;
  json body;
  std::string raw;
};

class ServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new Folder("server-test");
    certificate_ = makeCertificate(*folder_);
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }
  void SetUp() override {
    if (certificate_.empty()) GTEST_SKIP() << "the openssl command could not make a certificate";
  }

  static const Folder& folder() { return *folder_; }
  static const std::string& certificate() { return certificate_; }

  static Answer request(int port, const std::string& method, const std::string& path,
                        const std::string& body = "", const std::string& token = "") {
    httplib::SSLClient client("127.0.0.1", port);
    client.set_ca_cert_path(certificate_.c_str());
    client.enable_server_certificate_verification(true);
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    httplib::Result result = method == "GET"
                                 ? client.Get(path.c_str(), headers)
                                 : client.Post(path.c_str(), headers, body, "application/json");
    Answer answer;
    if (!result) return answer;
    answer.http = result->status;
    answer.raw = result->body;
    answer.body = json::parse(result->body, nullptr, false);
    return answer;
  }
  static Answer call(int port, const std::string& operation, const json& arguments,
                     const std::string& token = "") {
    return request(port, "POST", "/v1/operations/" + operation, arguments.dump(), token);
  }
  static std::string login(int port, const std::string& user, const std::string& password) {
    Answer answer = request(port, "POST", "/v1/login",
                            json{{"user", user}, {"password", password}}.dump());
    if (answer.http != 200 || !answer.body.is_object()) return {};
    return answer.body.value("token", "");
  }
  static json object(const std::string& id) { return {{"id", id}, {"type", "PhysicalTable"}}; }

 private:
  static Folder* folder_;
  static std::string certificate_;
};

Folder* ServerTest::folder_ = nullptr;
std::string ServerTest::certificate_;

// Lines of a transcript as both ways of running give them (explanations included: the remote
// host asks the server's explanation route).
std::string comparable(const std::string& text) {
  std::istringstream in(text);
  std::string line, out;
  while (std::getline(in, line)) out += line + "\n";
  return out;
}

TEST_F(ServerTest, ProgramsGiveTheSameOutputThroughTheServerAsInProcess) {
  for (const std::string program : {"tour.lua", "resolution.lua"}) {
    for (const std::string user : {"ada", "bo", "dee"}) {
      // A fresh server each time: the programs change the repository.
      ServerProcess server(folder(), "", {"--seed", kSample});
      ASSERT_GT(server.port(), 0) << server.output();
      const std::string script = std::string(MDSERVER_EXAMPLES_DIR) + "/" + program;
      // The tour starts a Java VM, which uses SIGSEGV itself and keeps memory to the end: under
      // the address sanitizer the VM's own signals and allocations must not be taken for ours.
      const std::vector<std::string> environment = {
          "MDHOST_PASSWORD=" + user + ".pass",
          "ASAN_OPTIONS=handle_segv=0:allow_user_segv_handler=1:detect_leaks=0:abort_on_error=1"};
      Transcript local = runMdhost(folder(), {"--user", user, "--repository", kSample, script},
                                   environment);
      Transcript remote = runMdhost(folder(),
                                    {"--user", user, "--repository", server.url(), "--tls-ca",
                                     certificate(), script},
                                    environment);
      EXPECT_EQ(remote.status, local.status) << program << " as " << user << "\n" << remote.err;
      EXPECT_EQ(comparable(remote.out), comparable(local.out)) << program << " as " << user;
      EXPECT_EQ(comparable(remote.err), comparable(local.err)) << program << " as " << user;
    }
  }
}

TEST_F(ServerTest, ForgedExpiredAndEndedTokensAreRefusedAndNoTokenIsEverybodyOnly) {
  ServerProcess server(folder(), "", {"--seed", kSample, "--session-lifetime", "2"});
  ASSERT_GT(server.port(), 0) << server.output();
  const int port = server.port();
  const std::string token = login(port, "ada", "ada.pass");
  ASSERT_FALSE(token.empty());
  EXPECT_EQ(request(port, "GET", "/v1/session", "", token).body.value("user", ""), "ada");

  // A token of the right shape that the server never handed out, and one with a digit changed.
  std::string forged = token;
  forged.back() = forged.back() == '0' ? '1' : '0';
  for (const std::string& bad : {forged, std::string("mds1.") + std::string(64, 'a'),
                                 std::string("not-a-token")}) {
    Answer refused = call(port, "listRepositories", json::object(), bad);
    EXPECT_EQ(refused.http, 401) << bad;
    EXPECT_EQ(refused.body.value("status", 0u), 0x80172151u);
  }

  // Without a token: Everybody, who may read but not write, and not export.
  EXPECT_FALSE(request(port, "GET", "/v1/session").body.value("authenticated", true));
  Answer anonymous = call(port, "setAttribute",
                          {{"object", object("A0000001.TABLE001")}, {"name", "Owner"},
                           {"value", "nobody"}});
  EXPECT_EQ(anonymous.body.value("status", 0u), 0x80172152u) << anonymous.raw;
  EXPECT_EQ(request(port, "GET", "/v1/export").http, 403);
  EXPECT_EQ(call(port, "setAttribute",
                 {{"object", object("A0000001.TABLE001")}, {"name", "Owner"}, {"value", "ada"}},
                 token)
                .body.value("status", 1u),
            0u);
  EXPECT_EQ(request(port, "GET", "/v1/export", "", login(port, "bo", "bo.pass")).http, 403);
  EXPECT_EQ(request(port, "GET", "/v1/export", "", token).http, 200);

  // Requests without a login share nothing: a transaction one of them began is unknown to the
  // next (the server keeps transactions with a session only).
  Answer begun = call(port, "beginTransaction", json::object());
  if (begun.body.value("status", 1u) == 0u) {
    Answer ended = call(port, "endTransaction",
                        {{"transaction", begun.body.value("transaction", "")}, {"flag", 0}});
    EXPECT_EQ(ended.body.value("status", 0u), 0x801720E9u) << ended.raw;
  }

  // A session whose login is deleted ends at its next request, though it was used just before
  // (the server does not keep a login it saw as good once).
  const std::string bo = login(port, "bo", "bo.pass");
  EXPECT_EQ(call(port, "isPaused", json::object(), bo).http, 200);
  json withoutBo = json::parse(readFile(kSample));
  json& logins = withoutBo["security"]["logins"];
  logins.erase(std::remove_if(logins.begin(), logins.end(),
                              [](const json& l) { return l.value("user", "") == "bo"; }),
               logins.end());
  Answer replaced = request(port, "POST", "/v1/import?mode=replace", withoutBo.dump(), token);
  EXPECT_EQ(replaced.http, 200) << replaced.raw;
  EXPECT_EQ(call(port, "isPaused", json::object(), bo).http, 401);

  // Logged out: the token is gone at once. Expired: gone after its lifetime.
  const std::string second = login(port, "ada", "ada.pass");
  EXPECT_EQ(request(port, "POST", "/v1/logout", "", second).http, 200);
  EXPECT_EQ(call(port, "isPaused", json::object(), second).http, 401);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(call(port, "isPaused", json::object(), token).http, 401);
}

TEST_F(ServerTest, TheDatabaseKeepsOnlyDigestsOfTokens) {
  const std::string database = (folder() / "digests.db").string();
  std::string token;
  {
    ServerProcess server(folder(), database, {"--seed", kSample});
    ASSERT_GT(server.port(), 0) << server.output();
    token = login(server.port(), "ada", "ada.pass");
    ASSERT_EQ(token.size(), 69u);
    server.stop();
  }
  std::string stored = readFile(database) + readFile(database + "-wal");
  EXPECT_EQ(stored.find(token.substr(5)), std::string::npos);
  EXPECT_EQ(stored.find(token.substr(5, 32)), std::string::npos);
  // And the session survives the server: another process over the file accepts it.
  ServerProcess again(folder(), database);
  ASSERT_GT(again.port(), 0) << again.output();
  EXPECT_EQ(request(again.port(), "GET", "/v1/session", "", token).body.value("user", ""), "ada");
}

TEST_F(ServerTest, GarbageAndOversizedRequestsGetClearAnswersAndTheServerStaysUp) {
  ServerProcess server(folder(), "", {"--seed", kSample, "--max-request-bytes", "4096"});
  ASSERT_GT(server.port(), 0) << server.output();
  const int port = server.port();
  Answer large = call(port, "resolveUri", {{"uri", std::string(20000, 'x')}});
  EXPECT_EQ(large.http, 413);
  EXPECT_TRUE(large.body.is_object()) << large.raw;

  Answer notJson = request(port, "POST", "/v1/operations/resolveUri", "{uri:");
  EXPECT_EQ(notJson.http, 400);
  EXPECT_EQ(notJson.body.value("status", 0u), 0x801720E2u);
  Answer wrongType = call(port, "resolveUri", {{"uri", 5}});
  EXPECT_EQ(wrongType.body.value("status", 0u), 0x801720E2u);
  EXPECT_NE(wrongType.body.value("error", "").find("'uri'"), std::string::npos) << wrongType.raw;
  Answer notObject = request(port, "POST", "/v1/operations/getAttribute", "[1,2,3]");
  EXPECT_EQ(notObject.body.value("status", 0u), 0x801720E2u);
  Answer longId = call(port, "getAttribute",
                       {{"object", {{"id", std::string(300, 'A')}}}, {"name", "Name"}});
  EXPECT_EQ(longId.body.value("status", 0u), 0x801720E2u) << longId.raw;
  Answer badFilter = call(port, "listAuthorizations", {{"filter", "everyone"}});
  EXPECT_EQ(badFilter.body.value("status", 0u), 0x801720E2u) << badFilter.raw;
  EXPECT_EQ(call(port, "noSuchOperation", json::object()).http, 404);
  EXPECT_EQ(request(port, "GET", "/v1/nothing-here").http, 404);
  Answer badLogin = request(port, "POST", "/v1/login", "\"ada\"");
  EXPECT_EQ(badLogin.http, 400);

  // Bytes that are no TLS at all, then a connection that says nothing and goes.
  const std::string raw = "printf 'GET / HTTP/1.1\\r\\n\\r\\n\\x00\\xff' | timeout 3 "
                          "bash -c 'cat > /dev/tcp/127.0.0.1/" + std::to_string(port) + "' "
                          ">/dev/null 2>&1";
  (void)std::system(raw.c_str());
  Answer health = request(port, "GET", "/v1/health");
  EXPECT_EQ(health.http, 200);
  EXPECT_EQ(health.body.value("status", ""), "ok");
}

TEST_F(ServerTest, ThePasswordNeverReachesTheLogTheAnswersTheTokenOrTheStatistics) {
  // The sample with ada's password replaced by the canary.
  std::string seed = readFile(kSample);
  seed.replace(seed.find("\"ada.pass\""), 10, "\"" + kCanary + "\"");
  const std::string seedFile = (folder() / "canary.json").string();
  std::ofstream(seedFile) << seed;
  const std::string database = (folder() / "canary.db").string();
  ServerProcess server(folder(), database, {"--seed", seedFile}, 0, "canary");
  ASSERT_GT(server.port(), 0) << server.output();
  const int port = server.port();

  std::string everything;
  const std::string token = login(port, "ada", kCanary);
  ASSERT_FALSE(token.empty());
  everything += token;
  everything += request(port, "POST", "/v1/login",
                        json{{"user", "ada"}, {"password", kCanary + "x"}}.dump()).raw;
  everything += request(port, "POST", "/v1/login",
                        json{{"user", "nobody"}, {"password", kCanary}}.dump()).raw;
  everything += request(port, "GET", "/v1/export", "", token).raw;
  everything += call(port, "listLogins", json::object(), token).raw;
  for (const std::string& password : {kCanary, kCanary + "x"}) {
    Transcript run = runMdhost(folder(),
                               {"--user", "ada", "--repository", server.url(), "--tls-ca",
                                certificate(), "--stats", "-e",
                                "print(metadata_version()) print(metasec_getnid('ada'))"},
                               {"MDHOST_PASSWORD=" + password});
    everything += run.out + run.err;
  }
  const std::string exported = (folder() / "canary-export.json").string();
  for (const std::string& password : {kCanary, kCanary + "x"}) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"repo", "export", server.url(), exported},
          std::vector<std::string>{"repo", "import", "--dry-run", seedFile, server.url()}}) {
      std::vector<std::string> arguments = {"--user", "ada", "--tls-ca", certificate()};
      arguments.insert(arguments.end(), words.begin(), words.end());
      Transcript run = runMdhost(folder(), arguments, {"MDHOST_PASSWORD=" + password});
      everything += run.out + run.err;
    }
  }
  everything += readFile(exported);
  server.stop();
  everything += server.log() + server.output();
  everything += readFile(database) + readFile(database + "-wal");
  EXPECT_EQ(everything.find(kCanary), std::string::npos);
  EXPECT_NE(server.log().find("/v1/login 401"), std::string::npos);
}

TEST_F(ServerTest, GuessingPasswordsIsSlowedAlikeForEveryUserAndTheRightOneWorksAfterTheWait) {
  ServerProcess server(folder(), "", {"--seed", kSample, "--login-throttle", "2",
                                      "--login-max-delay", "1"}, 0, "throttle");
  ASSERT_GT(server.port(), 0) << server.output();
  const int port = server.port();
  auto attempt = [&](const std::string& user, const std::string& password) {
    return request(port, "POST", "/v1/login", json{{"user", user}, {"password", password}}.dump());
  };
  // A login that exists and one that does not are slowed the same way: no oracle for user ids.
  for (const std::string user : {"ada", "nobody"}) {
    EXPECT_EQ(attempt(user, "guess-1").http, 401) << user;
    EXPECT_EQ(attempt(user, "guess-2").http, 401) << user;
    Answer slowed = attempt(user, user == "ada" ? "ada.pass" : "guess-3");
    EXPECT_EQ(slowed.http, 429) << slowed.raw;
    EXPECT_EQ(slowed.body.value("status", 0u), 0x80172150u) << slowed.raw;
    EXPECT_NE(slowed.body.value("error", "").find("try again in 1 s"), std::string::npos)
        << slowed.raw;
  }
  // mdhost says why it cannot log in.
  Transcript refused = runMdhost(folder(),
                                 {"--user", "ada", "--repository", server.url(), "--tls-ca",
                                  certificate(), "-e", "print(metadata_version())"},
                                 {"MDHOST_PASSWORD=ada.pass"});
  EXPECT_NE(refused.err.find("too many failed logins"), std::string::npos) << refused.err;
  // Once the delay has passed the right password is checked, and a success forgets the failures.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_FALSE(login(port, "ada", "ada.pass").empty());
  EXPECT_EQ(attempt("ada", "guess-4").http, 401);
  EXPECT_FALSE(login(port, "ada", "ada.pass").empty());
}

// An attacker who answers in the server's place (a certificate nobody vouches for, or a trusted
// one issued for another name) gets no password: mdhost refuses before it logs in.
TEST_F(ServerTest, MdhostSendsNoPasswordToAServerItCannotVerify) {
  ServerProcess server(folder(), "", {"--seed", kSample}, 0, "unverified");
  ASSERT_GT(server.port(), 0) << server.output();
  Folder elsewhere("server-test-elsewhere");
  const std::string made =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=elsewhere.invalid "
      "-addext subjectAltName=DNS:elsewhere.invalid -keyout '" + (elsewhere / "key.pem").string() +
      "' -out '" + (elsewhere / "cert.pem").string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(made.c_str()), 0);
  ServerProcess impostor(elsewhere, "", {"--seed", kSample}, 0, "impostor");
  ASSERT_GT(impostor.port(), 0) << impostor.output();

  const std::vector<std::vector<std::string>> attempts = {
      {"--repository", server.url()},  // the system's store does not know the test's authority
      {"--repository", impostor.url(), "--tls-ca", (elsewhere / "cert.pem").string()},
      {"--repository", "https://localhost:" + std::to_string(impostor.port()), "--tls-ca",
       (elsewhere / "cert.pem").string()}};
  for (std::vector<std::string> arguments : attempts) {
    arguments.insert(arguments.end(), {"--user", "ada", "-e", "print(metadata_version())"});
    Transcript run = runMdhost(folder(), arguments, {"MDHOST_PASSWORD=ada.pass"});
    EXPECT_NE(run.status, 0) << arguments[1] << ": " << run.out;
    EXPECT_NE(run.err.find("certificate"), std::string::npos) << arguments[1] << ": " << run.err;
  }
  EXPECT_EQ(server.log().find("/v1/login"), std::string::npos) << server.log();
  EXPECT_EQ(impostor.log().find("/v1/login"), std::string::npos) << impostor.log();
  // The same server, vouched for under its own name, is used.
  Transcript trusted = runMdhost(folder(), {"--repository", server.url(), "--tls-ca", certificate(),
                                            "--user", "ada", "-e", "print(metadata_version())"},
                                 {"MDHOST_PASSWORD=ada.pass"});
  EXPECT_EQ(trusted.status, 0) << trusted.err;
  EXPECT_NE(server.log().find("/v1/login 200"), std::string::npos) << server.log();
}

// The counts of an import or export summary line ("...: 3 objects, ... in 0.01 s"), without the
// locations and the time, which differ between the two ways of running.
std::string summaryCounts(const std::string& line) {
  const size_t from = line.find(": "), to = line.rfind(" in ");
  if (from == std::string::npos || to == std::string::npos || to < from) return "?" + line;
  return line.substr(from + 2, to - from - 2);
}

TEST_F(ServerTest, RepoExportAndImportThroughTheServerGiveWhatTheyGiveInProcess) {
  const std::string local = (folder() / "round.db").string();
  std::filesystem::remove(local);
  const Transcript localImport = runMdhost(folder(), {"repo", "import", kSample, local});
  ASSERT_EQ(localImport.status, 0) << localImport.err;
  const std::string localSeed = (folder() / "round-local.json").string();
  const Transcript localExport = runMdhost(folder(), {"repo", "export", local, localSeed});
  ASSERT_EQ(localExport.status, 0) << localExport.err;

  // Over the exported seed: its password hashes (salted at the first import) stay as they are.
  ServerProcess server(folder(), "", {"--seed", localSeed}, 0, "round");
  ASSERT_GT(server.port(), 0) << server.output();
  auto as = [&](const std::string& user, std::vector<std::string> words) {
    std::vector<std::string> arguments = {"--tls-ca", certificate()};
    if (!user.empty()) arguments.insert(arguments.end(), {"--user", user});
    arguments.insert(arguments.end(), words.begin(), words.end());
    return runMdhost(folder(), arguments, {"MDHOST_PASSWORD=" + user + ".pass"});
  };
  // export -> import (replacing) -> export: the same seed as in-process each time.
  const std::string first = (folder() / "round-1.json").string();
  const Transcript exported = as("ada", {"repo", "export", server.url(), first});
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(readFile(first), readFile(localSeed));
  EXPECT_EQ(summaryCounts(exported.out), summaryCounts(localExport.out)) << exported.out;
  const Transcript imported = as("ada", {"repo", "import", "--replace", first, server.url()});
  EXPECT_EQ(imported.status, 0) << imported.err;
  const std::string localAgain = (folder() / "round-2.db").string();
  std::filesystem::remove(localAgain);
  const Transcript localReimport = runMdhost(folder(), {"repo", "import", first, localAgain});
  EXPECT_EQ(summaryCounts(imported.out), summaryCounts(localReimport.out)) << imported.out;
  const Transcript again = as("ada", {"repo", "export", server.url(), "-"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, readFile(localSeed));

  // A dry run of a faulty seed lists the same problems as in-process and changes nothing.
  const std::string faulty = (folder() / "faulty.json").string();
  std::ofstream(faulty) << R"({"objects": [{"type": "NoSuchType", "id": "X.1", "name": "x"},
    {"type": "PhysicalTable", "name": "no id"}]})" "\n";
  const Transcript localCheck = runMdhost(folder(), {"repo", "import", "--dry-run", faulty, local});
  const Transcript remoteCheck = as("ada", {"repo", "import", "--dry-run", faulty, server.url()});
  EXPECT_EQ(localCheck.status, 1);
  EXPECT_EQ(remoteCheck.status, localCheck.status);
  EXPECT_EQ(remoteCheck.err, localCheck.err);
  EXPECT_EQ(as("ada", {"repo", "import", faulty, server.url()}).status, 1);

  // Without Administer on every repository (bo), or without a login, nothing leaves or enters.
  const std::string refused = (folder() / "round-refused.json").string();
  for (const std::string user : {"bo", ""}) {
    const Transcript out = as(user, {"repo", "export", server.url(), refused});
    EXPECT_EQ(out.status, 1) << user;
    EXPECT_NE(out.err.find(user.empty() ? "a request without a login may not administer"
                                        : "user 'bo' may not administer repository"),
              std::string::npos)
        << out.err;
    EXPECT_FALSE(std::filesystem::exists(refused));
    EXPECT_FALSE(std::filesystem::exists(refused + ".part"));
    const Transcript in = as(user, {"repo", "import", "--replace", faulty, server.url()});
    EXPECT_EQ(in.status, 1) << user;
    EXPECT_NE(in.err.find("may not administer"), std::string::npos) << in.err;
  }
  EXPECT_EQ(as("ada", {"repo", "export", server.url(), "-"}).out, readFile(localSeed));
  // A server that holds no repository yet is not anybody's to fill: an anonymous import would
  // otherwise plant its own administrators before the operator's seed.
  {
    ServerProcess empty(folder(), "", {}, 0, "empty");
    ASSERT_GT(empty.port(), 0) << empty.output();
    const Transcript planted = as("", {"repo", "import", kSample, empty.url()});
    EXPECT_EQ(planted.status, 1) << planted.err;
    EXPECT_NE(planted.err.find("a request without a login may not administer the server"),
              std::string::npos)
        << planted.err;
    EXPECT_EQ(request(empty.port(), "GET", "/v1/export").http, 403);
  }
  // A server that cannot be reached is a usage failure, as a repository file that cannot be
  // opened is.
  EXPECT_EQ(as("ada", {"repo", "export", "https://127.0.0.1:1", refused}).status, 2);
}

// The next page's key or cursor a command printed ("(more ...: --after K)"), or "".
std::string nextPage(const std::string& out, const std::string& option) {
  const size_t at = out.rfind(option + " ");
  if (at == std::string::npos) return {};
  const size_t from = at + option.size() + 1;
  return out.substr(from, out.find(')', from) - from);
}

TEST_F(ServerTest, AuditWhoAndWhatThroughTheServerAnswerAsInProcess) {
  const std::string db = (folder() / "queries.db").string();
  std::filesystem::remove(db);
  ASSERT_EQ(runMdhost(folder(), {"repo", "import", kSample, db}).status, 0);
  auto local = [&](const std::string& user, std::vector<std::string> words) {
    // A command takes the repository after its name; a program before its options.
    words.insert(words.begin() + (words[0].rfind("--", 0) == 0 ? 0 : 1), {"--repository", db});
    return runMdhost(folder(), words, {"MDHOST_PASSWORD=" + user + ".pass"});
  };
  // Records of the trail before anything is compared: logins, an allowed change, refusals.
  for (const std::string user : {"ada", "bo", "dee"}) {
    const Transcript made = local(
        user, {"--user", user, "-e",
               "pcall(metadata_setattr, [[vqsobj:PhysicalTable\\A0000001.TABLE003]], 'Desc', "
               "'by " + user + "'); pcall(who, 'A0000002', 'Read')"});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  ServerProcess server(folder(), db, {}, 0, "queries");
  ASSERT_GT(server.port(), 0) << server.output();
  auto remote = [&](const std::string& user, std::vector<std::string> words) {
    words.insert(words.begin() + (words[0].rfind("--", 0) == 0 ? 0 : 1),
                 {"--repository", server.url(), "--tls-ca", certificate()});
    return runMdhost(folder(), words, {"MDHOST_PASSWORD=" + user + ".pass"});
  };
  auto same = [&](const std::string& user, const std::vector<std::string>& words) {
    const Transcript in = local(user, words), through = remote(user, words);
    std::string shown;
    for (const std::string& w : words) shown += w + " ";
    EXPECT_EQ(through.status, in.status) << shown << "\n" << through.err;
    EXPECT_EQ(through.out, in.out) << shown;
    EXPECT_EQ(through.err, in.err) << shown;
    return in;
  };

  // Two pages of the trail, the second from the key the first printed; and as JSON.
  const Transcript first = same("chen", {"audit", "--login", "chen", "--limit", "3"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string after = nextPage(first.out, "--after");
  ASSERT_FALSE(after.empty()) << first.out;
  const Transcript second =
      same("chen", {"audit", "--login", "chen", "--after", after, "--limit", "3"});
  EXPECT_NE(second.out, first.out);
  EXPECT_FALSE(nextPage(second.out, "--after").empty()) << second.out;
  same("chen", {"audit", "--login", "chen", "--limit", "2", "--json"});
  same("chen", {"audit", "--login", "chen", "--user", "bo", "--outcome", "refused", "--limit",
                "2"});
  // An object URI is resolved as the reader sees it; one that names nothing is exit status 2.
  const Transcript byUri = same(
      "chen", {"audit", "--login", "chen", "--object",
               "vqsobj:PhysicalTable\\A0000001.TABLE003", "--limit", "2"});
  EXPECT_NE(byUri.out.find("A0000001.TABLE003"), std::string::npos) << byUri.out;
  EXPECT_EQ(same("chen", {"audit", "--login", "chen", "--object",
                          "vqsobj:PhysicalTable\\A9999999.NOTHING", "--limit", "1"})
                .status,
            2);

  // who and what: pages followed by their cursor, JSON, another identity.
  const Transcript whoFirst =
      same("chen", {"who", "--user", "chen", "--limit", "2", "A0000001.TABLE001", "Write"});
  const std::string cursor = nextPage(whoFirst.out, "--cursor");
  ASSERT_FALSE(cursor.empty()) << whoFirst.out;
  same("chen", {"who", "--user", "chen", "--cursor", cursor, "--limit", "2", "A0000001.TABLE001",
                "Write"});
  same("chen", {"who", "--user", "chen", "--json", "A0000001.TABLE003", "Read"});
  const Transcript whatFirst = same("ada", {"what", "--user", "ada", "--limit", "3", "Write"});
  const std::string whatCursor = nextPage(whatFirst.out, "--cursor");
  ASSERT_FALSE(whatCursor.empty()) << whatFirst.out;
  same("ada", {"what", "--user", "ada", "--cursor", whatCursor, "--limit", "3", "Write"});
  same("chen", {"what", "--user", "chen", "--identity", "A0000001.PERSON02", "--type",
                "PhysicalTable", "--json", "Write"});

  // Refusals: the same text and exit status 1; a wrong password is a login error (2).
  EXPECT_EQ(same("bo", {"audit", "--login", "bo"}).status, 1);
  EXPECT_EQ(same("dee", {"who", "--user", "dee", "A0000001.TABLE001", "Write"}).status, 1);
  EXPECT_EQ(same("bo", {"what", "--user", "bo", "--identity", "A0000001.PERSON01", "Read"}).status,
            1);
  EXPECT_EQ(same("nobody", {"who", "--user", "ada", "A0000001", "Read"}).status, 2);

  // The Lua forms: the same tables, cursors and errors, also for a newsession's user.
  const std::string program =
      "local function asked(f, ...) local ok, list, next = pcall(f, ...) "
      "if not ok then print(list) return {} end print(#list, next) return list, next end "
      "for _, x in ipairs(asked(audit, {limit=2})) do print(x.key, x.time, x.lastTime, x.count, "
      "x.user, x.operation, x.target, x.outcome, x.status, x.decision) end "
      "local ids, c = asked(who, 'A0000001.TABLE001', 'Write', {limit=2}) "
      "for _, x in ipairs(ids) do print(x.id, x.name, x.type, x.decision, x.decidingEntry, "
      "x.decidingLevel) end "
      "if c then local more = asked(who, 'A0000001.TABLE001', 'Write', {cursor=c}) "
      "print(more[1].id) end "
      "for _, o in ipairs(asked(what, 'Read', nil, 'PhysicalTable', {limit=2})) do "
      "print(o.id, o.type, o.name) end "
      "asked(what, 'Read', 'A0000001.PERSON01', nil, {limit=1}) "
      "newsession{context='DOSUB', user='bo', password='bo.pass', function() "
      "asked(audit, {}) local o = asked(what, 'Write') print(o[1] and o[1].id) end}";
  for (const std::string user : {"chen", "bo"}) {
    const Transcript lua = same(user, {"--user", user, "-e", program});
    EXPECT_EQ(lua.status, 0) << lua.err;
  }
}

TEST_F(ServerTest, AProgramOutlivesAServerRestartAndSaysItReconnected) {
  for (const bool inMemory : {false, true}) {
    const std::string database = inMemory ? "" : (folder() / "restart.db").string();
    if (!database.empty()) std::filesystem::remove(database);
    auto server = std::make_unique<ServerProcess>(folder(), database,
                                                  std::vector<std::string>{"--seed", kSample});
    ASSERT_GT(server->port(), 0) << server->output();
    const int port = server->port();
    const std::string url = server->url();
    const std::string flag = (folder() / "restarted").string();
    std::filesystem::remove(flag);
    std::filesystem::remove(flag + ".ready");
    // The program waits between two calls until the test has restarted the server.
    const std::string program =
        "print(metadata_version()) io.open('" + flag + ".ready', 'w'):close()\n"
        "for i = 1, 200 do local f = io.open('" + flag + "') if f then f:close() break end "
        "os.execute('sleep 0.05') end\n"
        "local t, id = char(20), char(20) print(metadata_resolve(\"vqsobj:PhysicalTable?@Name='CUSTOMERS'\", t, id))\n";
    std::thread restarter([&] {
      for (int i = 0; i < 600 && !std::filesystem::exists(flag + ".ready"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      server->stop();
      // Over the file the repository and the sessions are still there; over memory nothing is.
      std::vector<std::string> seed;
      if (inMemory) seed = {"--seed", kSample};
      server = std::make_unique<ServerProcess>(folder(), database, seed, port, "b");
      std::ofstream(flag) << "yes";
    });
    const std::string hostLog = (folder() / "restart-host.log").string();
    Transcript run = runMdhost(folder(),
                               {"--user", "ada", "--repository", url, "--tls-ca", certificate(),
                                "--log", hostLog, "-e", program},
                               {"MDHOST_PASSWORD=ada.pass"});
    restarter.join();
    ASSERT_GT(server->port(), 0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\n1\n"), std::string::npos) << run.out << run.err;
    const std::string log = readFile(hostLog);
    EXPECT_NE(log.find("reconnected"), std::string::npos) << log;
    if (inMemory) {
      EXPECT_NE(log.find("logged in again"), std::string::npos) << log;
    }
  }
}

// The server closes a connection idle for 5 s; the next call of a program that paused longer
// goes out on a new connection, without an error and without a note (the server is the same).
TEST_F(ServerTest, AConnectionTheServerClosedWhileIdleIsOpenedAgainUnnoticed) {
  ServerProcess server(folder(), "", {"--seed", kSample}, 0, "idle");
  ASSERT_GT(server.port(), 0) << server.output();
  const std::string program =
      "print(metadata_version())\n"
      "os.execute('sleep 6')\n"
      "local t, id = char(20), char(20)\n"
      "print(metadata_resolve(\"vqsobj:PhysicalTable?@Name='CUSTOMERS'\", t, id), id)\n";
  const std::string hostLog = (folder() / "idle-host.log").string();
  Transcript run = runMdhost(folder(),
                             {"--user", "ada", "--repository", server.url(), "--tls-ca",
                              certificate(), "--log", hostLog, "-e", program},
                             {"MDHOST_PASSWORD=ada.pass"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\n1\t"), std::string::npos) << run.out << run.err;
  const std::string log = readFile(hostLog);
  EXPECT_EQ(log.find("reconnected"), std::string::npos) << log;
  EXPECT_EQ(log.find("logged in again"), std::string::npos) << log;
}

TEST_F(ServerTest, TwoServersOverOnePostgresDatabaseShareSessionsChangesAndTransactions) {
  std::string reason;
  std::unique_ptr<mdserver::testing::PostgresCluster> cluster =
      mdserver::testing::PostgresCluster::start(&reason);
  if (!cluster) GTEST_SKIP() << reason;
  const std::string location = cluster->newLocation();
  ServerProcess first(folder(), location, {"--seed", kSample}, 0, "pg1");
  ASSERT_GT(first.port(), 0) << first.output();
  ServerProcess second(folder(), location, {}, 0, "pg2");
  ASSERT_GT(second.port(), 0) << second.output();

  const std::string token = login(first.port(), "ada", "ada.pass");
  ASSERT_FALSE(token.empty());
  EXPECT_EQ(request(second.port(), "GET", "/v1/session", "", token).body.value("user", ""), "ada");
  EXPECT_EQ(call(first.port(), "setAttribute",
                 {{"object", object("A0000001.TABLE002")}, {"name", "Owner"}, {"value", "pg"}},
                 token).body.value("status", 1u), 0u);
  EXPECT_EQ(call(second.port(), "getAttribute",
                 {{"object", object("A0000001.TABLE002")}, {"name", "Owner"}}, token)
                .body.value("value", ""),
            "pg");

  // A transaction begun through one server, staged through the other, ended through the first.
  Answer begun = call(first.port(), "beginTransaction", json::object(), token);
  const std::string transaction = begun.body.value("transaction", "");
  ASSERT_FALSE(transaction.empty()) << begun.raw;
  Answer staged = call(second.port(), "setAuthorization",
                       {{"transaction", transaction},
                        {"identity", {"Sales Team", "IdentityGroup"}},
                        {"grantCode", 2}, {"permission", "Delete"}},
                       token);
  EXPECT_EQ(staged.body.value("status", 1u), 0u) << staged.raw;
  auto deleteGrants = [&](int port) {
    Answer listed = call(port, "listAuthorizations",
                         {{"reference", ""}, {"permission", "Delete"}}, token);
    int count = 0;
    for (const json& entry : listed.body.value("authorizations", json::array())) {
      if (entry.value("identity", json::array()).dump().find("Sales Team") != std::string::npos) {
        ++count;
      }
    }
    return count;
  };
  EXPECT_EQ(deleteGrants(first.port()), 0);
  Answer ended = call(first.port(), "endTransaction",
                      {{"transaction", transaction}, {"flag", 0}}, token);
  EXPECT_EQ(ended.body.value("status", 1u), 0u) << ended.raw;
  EXPECT_EQ(deleteGrants(second.port()), 1);

  // One session staging changes into one transaction through both servers at the same moment:
  // each change the session was told was staged is committed; one whose staging raced another
  // is refused, never silently dropped.
  begun = call(first.port(), "beginTransaction", json::object(), token);
  const std::string raced = begun.body.value("transaction", "");
  ASSERT_FALSE(raced.empty()) << begun.raw;
  const std::vector<std::string> people = {"Ada Field", "Bo Lindqvist", "Chen O'Hara",
                                           "Dee Novak", "Analysts"};
  const std::vector<std::string> permissions = {"Read", "Write", "Delete", "Administer"};
  auto granted = [&](const std::string& who, const std::string& permission) {
    Answer listed = call(first.port(), "listAuthorizations",
                         {{"reference", ""}, {"permission", permission}}, token);
    for (const json& entry : listed.body.value("authorizations", json::array())) {
      if (entry.value("identity", json::array()).dump().find(who) != std::string::npos) return true;
    }
    return false;
  };
  for (const std::string& who : people) {
    for (const std::string& permission : permissions) {
      ASSERT_FALSE(granted(who, permission)) << who << " " << permission;
    }
  }
  std::vector<std::pair<std::string, std::string>> acknowledged;
  std::mutex acknowledgedMutex;
  int refusedMeanwhile = 0;
  auto stage = [&](int port, size_t parity) {
    for (size_t i = parity; i < people.size() * permissions.size(); i += 2) {
      const std::string& who = people[i % people.size()];
      const std::string& permission = permissions[i / people.size()];
      Answer answer = call(port, "setAuthorization",
                           {{"transaction", raced},
                            {"identity", {who, who == "Analysts" ? "IdentityGroup" : "Person"}},
                            {"grantCode", 2}, {"permission", permission}},
                           token);
      std::lock_guard lock(acknowledgedMutex);
      if (answer.body.value("status", 1u) == 0u) {
        acknowledged.emplace_back(who, permission);
      } else {
        EXPECT_NE(answer.raw.find("at the same time"), std::string::npos) << answer.raw;
        ++refusedMeanwhile;
      }
    }
  };
  std::thread other(stage, second.port(), 1);
  stage(first.port(), 0);
  other.join();
  ended = call(second.port(), "endTransaction", {{"transaction", raced}, {"flag", 0}}, token);
  EXPECT_EQ(ended.body.value("status", 1u), 0u) << ended.raw;
  EXPECT_FALSE(acknowledged.empty());
  for (const auto& [who, permission] : acknowledged) {
    EXPECT_TRUE(granted(who, permission)) << who << " " << permission << " was acknowledged but not committed ("
                       << refusedMeanwhile << " refused)";
  }
  // Memberships changed through one server apply to a session of the other at its next
  // request, both ways: bo, an Analyst, is denied Read on TABLE003 until chen takes bo out of
  // the Analysts, and again once bo is back. Each read follows the change with no pause, so a
  // server deciding on the change count of an earlier request, or on decisions kept from it,
  // answers wrongly.
  const std::string bo = login(first.port(), "bo", "bo.pass");
  const std::string chen = login(second.port(), "chen", "chen.pass");
  ASSERT_FALSE(bo.empty());
  ASSERT_FALSE(chen.empty());
  auto boReads = [&] {
    Answer listed = call(first.port(), "listAttributes", {{"object", object("A0000001.TABLE003")}},
                         bo);
    EXPECT_EQ(listed.http, 200) << listed.raw;
    return listed.body.value("status", 1u) == 0u;
  };
  auto analysts = [&](json members) {
    Answer set = call(second.port(), "setAssociation",
                      {{"object", {{"id", "A0000001.GROUP001"}, {"type", "IdentityGroup"}}},
                       {"name", "MemberIdentities"},
                       {"targets", std::move(members)}},
                      chen);
    EXPECT_EQ(set.body.value("status", 1u), 0u) << set.raw;
  };
  const json ada = {{"id", "A0000001.PERSON01"}, {"type", "Person"}};
  const json boPerson = {{"id", "A0000001.PERSON02"}, {"type", "Person"}};
  EXPECT_FALSE(boReads());
  EXPECT_FALSE(boReads());  // now decided from what the session's interface keeps
  analysts(json::array({ada}));
  EXPECT_TRUE(boReads());
  analysts(json::array({ada, boPerson}));
  EXPECT_FALSE(boReads());

  // A logout through one server ends the session on the other at its next request.
  EXPECT_EQ(call(first.port(), "getAttribute",
                 {{"object", object("A0000001.TABLE002")}, {"name", "Owner"}}, token).http, 200);
  EXPECT_EQ(request(second.port(), "POST", "/v1/logout", "", token).http, 200);
  EXPECT_EQ(call(first.port(), "getAttribute",
                 {{"object", object("A0000001.TABLE002")}, {"name", "Owner"}}, token).http, 401);

  // A login required through one server holds for the other's next request without a login,
  // and so does its end, though that server asked (and could have kept) the setting just before.
  const std::string admin = login(second.port(), "ada", "ada.pass");
  ASSERT_FALSE(admin.empty());
  auto requireLogin = [&](bool required) {
    Answer set = request(second.port(), "POST", "/v1/import",
                         json{{"security", {{"requireLogin", required}}}}.dump(), admin);
    EXPECT_EQ(set.http, 200) << set.raw;
  };
  auto anonymous = [&] { return call(first.port(), "listRepositories", json::object()).http; };
  EXPECT_EQ(anonymous(), 200);
  EXPECT_EQ(anonymous(), 200);
  requireLogin(true);
  EXPECT_EQ(anonymous(), 401);
  EXPECT_EQ(anonymous(), 401);
  requireLogin(false);
  EXPECT_EQ(anonymous(), 200);
}

// Every path and method of docs/openapi.yaml is served and answers one of its documented codes
// with a JSON body.
TEST_F(ServerTest, EveryDocumentedRouteAnswersAsDocumented) {
  ServerProcess server(folder(), "", {"--seed", kSample});
  ASSERT_GT(server.port(), 0) << server.output();
  const std::string token = login(server.port(), "ada", "ada.pass");
  std::istringstream document(readFile(std::string(RUX_SOURCE_DIR) + "/docs/openapi.yaml"));
  std::string line, path, method;
  std::map<std::pair<std::string, std::string>, std::set<int>> codes;
  const std::regex pathLine(R"(^  (/v1/[^:]*):\s*$)"), methodLine(R"(^    (get|post):\s*$)"),
      codeLine(R"re(^        "(\d{3})":)re");
  std::smatch match;
  while (std::getline(document, line)) {
    if (std::regex_match(line, match, pathLine)) {
      path = match[1];
      method.clear();
    } else if (std::regex_match(line, match, methodLine)) {
      method = match[1];
    } else if (!path.empty() && !method.empty() && std::regex_search(line, match, codeLine)) {
      codes[{path, method}].insert(std::stoi(match[1]));
    }
  }
  ASSERT_GE(codes.size(), 8u);
  for (const auto& [route, documented] : codes) {
    std::string target = std::regex_replace(route.first, std::regex(R"(\{name\})"), "isPaused");
    std::string body = "{}";
    if (target == "/v1/login") body = json{{"user", "ada"}, {"password", "ada.pass"}}.dump();
    if (target == "/v1/import") body = readFile(kSample);
    Answer answer = request(server.port(), route.second == "get" ? "GET" : "POST", target, body,
                            target == "/v1/logout" ? login(server.port(), "ada", "ada.pass")
                                                   : token);
    EXPECT_TRUE(documented.count(answer.http)) << route.second << " " << target << " answered "
                                               << answer.http << ": " << answer.raw;
    EXPECT_FALSE(answer.body.is_discarded()) << target << ": " << answer.raw;
  }
  // And the operations the document lists are the ones served.
  Answer served = request(server.port(), "GET", "/v1/operations");
  const std::string text = readFile(std::string(RUX_SOURCE_DIR) + "/docs/openapi.yaml");
  for (const json& name : served.body.value("operations", json::array())) {
    EXPECT_NE(text.find(" " + name.get<std::string>() + " {"), std::string::npos)
        << name << " is served but not documented";
  }
}

}  // namespace
