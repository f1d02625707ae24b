// METADATA_GETURI and METADATA_APPPROP through the real load path, against the real repository
// with registered applications in a repository named "Foundation" (letter case aside, the
// FOUNDATION repository).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "repository_fixture.h"

namespace {

using refhost::Argument;
using refhost::CharacterVariable;

constexpr StatusCode kConstantOutput = 0x80172130u;
constexpr StatusCode kNoOutputRequested = 0x8017212Du;
constexpr StatusCode kNoFoundation = 0x8017212Eu;
constexpr StatusCode kValueTooLong = 0x8017212Fu;
constexpr StatusCode kNoSuchAppProperty = 0x801720E4u;

// Connections are found through their deployed component's descriptive software component.
std::string application(const std::string& n, const std::string& name, const std::string& type,
                        const std::string& connectionAttributes, const std::string& properties = "") {
  const std::string id = "A5FOUND1.APPL000" + n;
  const std::string deploy = "A5FOUND1.DEPL000" + n;
  return R"({"repository": "A5FOUND1", "type": "SoftwareComponent", "id": ")" + id +
         R"(", "name": ")" + name + R"(", "attributes": {"PublicType": ")" + type + R"("})" +
         (properties.empty() ? "" : ", \"properties\": " + properties) + "},\n" +
         R"({"repository": "A5FOUND1", "type": "DeployedComponent", "id": ")" + deploy +
         R"(", "name": "Registered RUX Application", "associations": {"DescriptiveComponent": [")" +
         id + R"("]}},)" + "\n" +
         R"({"repository": "A5FOUND1", "type": "TCPIPConnection", "id": "A5FOUND1.CONN000)" + n +
         R"(", "name": "Connection URI", "attributes": {)" + connectionAttributes +
         R"(}, "associations": {"Source": [")" + deploy + R"("]}})";
}

std::string applicationSeed() {
  const std::string longText(250, 'w');
  return R"({"types": ["SoftwareComponent", "DeployedComponent", "TCPIPConnection", "Property"],
    "repositories": [{"id": "A5FOUND1", "name": "Foundation", "description": "apps"}],
    "objects": [)" +
         application("1", "Portal", "Application",
                     R"("CommunicationProtocol": "P", "HostName": "H", "Port": "8", "Service": "/S")",
                     R"([{"id": "A5FOUND1.PROP0001", "name": "Welcome", "value": "Hello there"},
                         {"id": "A5FOUND1.PROP0002", "name": "Banner", "value": ")" + longText +
                         R"("}])") +
         ",\n" +
         application("2", "No Service", "Application",
                     R"("CommunicationProtocol": "http", "HostName": "h.example", "Port": "80")") +
         ",\n" + application("3", "Bare", "Application", "") + ",\n" +
         application("4", "Long Host", "Application",
                     R"("CommunicationProtocol": "https", "HostName": "a-rather-long-host.example",
                        "Port": "443", "Service": "/x")") +
         ",\n" +
         application("5", "A Service", "Service",
                     R"("CommunicationProtocol": "tcp", "HostName": "s", "Port": "1")") +
         ",\n" +
         application("6", "Twice", "Application",
                     R"("CommunicationProtocol": "ftp", "HostName": "first", "hostname": "second",
                        "Port": "21")") +
         "]}";
}

class ApplicationFunctionsTest : public testing_support::RepositoryFixture {
 protected:
  void addApplications() {
    mdserver::Outcome seeded = repository_->importSeedText(applicationSeed(), "applications");
    ASSERT_TRUE(seeded.ok()) << seeded.message;
  }
  // GETURI(name, the given outputs...).
  double geturi(const std::string& name, std::vector<Argument> outputs) {
    outputs.insert(outputs.begin(), Argument::literal(name));
    return value("METADATA_GETURI", std::move(outputs));
  }
  const std::vector<std::string>& issued() { return host_->record().issuedMessages; }
  uint64_t poolBlocks() { return current_->pool().counts().blocksOutstanding; }

  CharacterVariable uri_{20, "uri before"}, protocol_{10, "p before"}, hostName_{12, "h before"},
      port_{6, "port"}, service_{8, "s before"};
  std::vector<Argument> allOutputs() {
    return {Argument::of(uri_), Argument::of(protocol_), Argument::of(hostName_),
            Argument::of(port_), Argument::of(service_)};
  }
};

// The repository is named "Foundation": FOUNDATION, letter case aside.
TEST_F(ApplicationFunctionsTest, GeturiWritesEveryRequestedOutputAndTheUri) {
  addApplications();
  EXPECT_EQ(geturi("Portal", allOutputs()), 0);
  EXPECT_EQ(uri_.value(), "P://H:8/S");  // 9 characters, no padding to the capacity
  EXPECT_EQ(uri_.length(), 9);
  EXPECT_EQ(protocol_.value(), "P");
  EXPECT_EQ(hostName_.value(), "H");
  EXPECT_EQ(port_.value(), "8");
  EXPECT_EQ(service_.value(), "/S");
  // What lies beyond each value is blank.
  EXPECT_EQ(std::string(uri_.slot()->text, 20), "P://H:8/S           ");
  EXPECT_EQ(std::string(service_.slot()->text, 8), "/S      ");
  EXPECT_EQ(sysmsg(), "");
  EXPECT_EQ(sysrc(), "0");
  EXPECT_TRUE(issued().empty());
}

TEST_F(ApplicationFunctionsTest, GeturiWithOnlyTheUriAndWithoutAService) {
  addApplications();
  EXPECT_EQ(geturi("Portal", {Argument::of(uri_)}), 0);
  EXPECT_EQ(uri_.value(), "P://H:8/S");
  // No "Service" attribute: the URI is protocol, host and port; the service output is empty.
  EXPECT_EQ(geturi("No Service", allOutputs()), 0);
  EXPECT_EQ(uri_.value(), "http://h.example:80");
  EXPECT_EQ(service_.length(), 0);
  EXPECT_EQ(std::string(service_.slot()->text, 8), std::string(8, ' '));
}

// Attribute names compare without regard to case; of two that name the same output, the later
// in the connection's list gives the value.
TEST_F(ApplicationFunctionsTest, GeturiTakesTheLaterOfTwoAttributesOfTheSameName) {
  addApplications();
  EXPECT_EQ(geturi("Twice", allOutputs()), 0);
  EXPECT_EQ(hostName_.value(), "second");
  EXPECT_EQ(uri_.value(), "ftp://second:21");
}

TEST_F(ApplicationFunctionsTest, GeturiUriExactlyAsLongAsItsVariableAndOneTooLong) {
  addApplications();
  CharacterVariable exact(9, "keep");
  EXPECT_EQ(geturi("Portal", {Argument::of(exact)}), 0);
  EXPECT_EQ(exact.value(), "P://H:8/S");

  CharacterVariable short8(8, "keep");
  EXPECT_EQ(geturi("Portal", {Argument::of(short8)}), -5);
  EXPECT_EQ(std::string(short8.slot()->text, 8), "keep    ");  // untouched
  EXPECT_EQ(short8.length(), 4);
  ASSERT_EQ(issued().size(), 1u);
  EXPECT_EQ(issued()[0], "2, (url).");  // no terminating byte for a value that does not fit
  EXPECT_EQ(sysrc(), sysrcOf(kValueTooLong));
  EXPECT_EQ(sysmsg(), refhost::ReferenceHost::messageText(kValueTooLong));
}

TEST_F(ApplicationFunctionsTest, GeturiStopsAtTheFirstValueThatDoesNotFit) {
  addApplications();
  EXPECT_EQ(geturi("Long Host", allOutputs()), -5);
  EXPECT_EQ(protocol_.value(), "https");                            // written before
  EXPECT_EQ(std::string(hostName_.slot()->text, 12), std::string(12, ' '));  // blank-filled
  EXPECT_EQ(port_.value(), "port");                                 // untouched after
  EXPECT_EQ(service_.value(), "s before");
  EXPECT_EQ(uri_.value(), "uri before");
  ASSERT_EQ(issued().size(), 1u);
  EXPECT_EQ(issued()[0], "4, (Hostname).");
  EXPECT_EQ(sysrc(), sysrcOf(kValueTooLong));
}

TEST_F(ApplicationFunctionsTest, GeturiRefusesAConstantOutputWithItsLabelAndTerminatingByte) {
  addApplications();
  EXPECT_EQ(geturi("Portal", {Argument::literal("constant")}), -6);
  ASSERT_EQ(issued().size(), 1u);
  EXPECT_EQ(issued()[0], std::string("2, (url),\0", 10));
  EXPECT_EQ(sysrc(), sysrcOf(kConstantOutput));
  EXPECT_EQ(sysmsg(), refhost::ReferenceHost::messageText(kConstantOutput));

  // A constant further on refuses the call before anything is written.
  host_->clearRecord();
  EXPECT_EQ(geturi("Portal", {Argument::of(uri_), Argument::of(protocol_),
                              Argument::literal("h")}),
            -6);
  EXPECT_EQ(issued().at(0), std::string("4, (Hostname),\0", 15));
  EXPECT_EQ(uri_.value(), "uri before");
  EXPECT_EQ(protocol_.value(), "p before");
}

TEST_F(ApplicationFunctionsTest, GeturiWithoutAnyOutputAddress) {
  addApplications();
  EXPECT_EQ(geturi("Portal", {Argument::absent()}), -6);
  EXPECT_EQ(sysrc(), sysrcOf(kNoOutputRequested));
  EXPECT_TRUE(issued().empty());
  // Later outputs still count as requested when argument 2 has no address.
  EXPECT_EQ(geturi("Portal", {Argument::absent(), Argument::of(protocol_)}), 0);
  EXPECT_EQ(protocol_.value(), "P");
}

TEST_F(ApplicationFunctionsTest, GeturiWithoutAFoundationRepository) {
  EXPECT_EQ(geturi("Portal", allOutputs()), -4);
  EXPECT_EQ(sysrc(), sysrcOf(kNoFoundation));
  EXPECT_EQ(calls("resolveInRepository"), 0u);
  EXPECT_EQ(uri_.value(), "uri before");
}

TEST_F(ApplicationFunctionsTest, GeturiForAnApplicationNoConnectionMatchesWritesNothing) {
  addApplications();
  for (const char* name : {"Nobody", "A Service", "Portal "}) {
    SCOPED_TRACE(name);  // the name goes into the query as given: trailing blanks count
    EXPECT_EQ(geturi(name, allOutputs()), 0);
    EXPECT_EQ(uri_.value(), "uri before");
    EXPECT_EQ(protocol_.value(), "p before");
    EXPECT_EQ(sysmsg(), "");
    EXPECT_EQ(sysrc(), "0");
  }
  EXPECT_EQ(calls("resolveInRepository"), 3u);
  // Letter case of the name does not matter (the query compares with =:).
  EXPECT_EQ(geturi("PORTAL", allOutputs()), 0);
  EXPECT_EQ(uri_.value(), "P://H:8/S");
}

TEST_F(ApplicationFunctionsTest, GeturiForAConnectionWithoutAttributesWritesNothing) {
  addApplications();
  EXPECT_EQ(geturi("Bare", allOutputs()), 0);
  EXPECT_EQ(uri_.value(), "uri before");
  EXPECT_EQ(sysrc(), "0");
}

TEST_F(ApplicationFunctionsTest, GeturiReportsFailuresOfTheInterface) {
  addApplications();
  EXPECT_EQ(geturi("Portal", allOutputs()), 0);  // the connection exists from here on
  const struct {
    const char* operation;
    double value;
  } cases[] = {{"listRepositories", -4}, {"resolveInRepository", -2}, {"listAttributes", -3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    ASSERT_TRUE(current_->injectFault(c.operation, {0x801720E3u}));
    EXPECT_EQ(geturi("Portal", allOutputs()), c.value);
    EXPECT_EQ(sysrc(), sysrcOf(0x801720E3u));
  }
}

TEST_F(ApplicationFunctionsTest, GeturiWithoutAConnection) {
  addApplications();
  host_->setMetadataProvider([](HostSession*, void** out) {
    *out = nullptr;
    return refhost::kHostStatusNoMetadataServer;
  });
  EXPECT_EQ(geturi("Portal", allOutputs()), -1);
  EXPECT_EQ(sysrc(), sysrcOf(refhost::kHostStatusNoMetadataServer));
  // Status 0 and no interface: 0, nothing reported.
  host_->setMetadataProvider([](HostSession*, void** out) {
    *out = nullptr;
    return kStatusOk;
  });
  EXPECT_EQ(geturi("Portal", allOutputs()), 0);
  EXPECT_EQ(sysrc(), "0");
  EXPECT_EQ(uri_.value(), "uri before");
}

// Every pool block the call takes goes back, whichever allocation fails: the name copy, the
// repository list, the query, the connection list, the attribute list, the value copies, the URI.
TEST_F(ApplicationFunctionsTest, GeturiBalancesThePoolWhicheverAllocationFails) {
  addApplications();
  EXPECT_EQ(geturi("Portal", allOutputs()), 0);
  const uint64_t before = poolBlocks();
  bool succeeded = false;
  std::set<double> values;
  int partialUris = 0;  // a value copy failed: the URI is built without that value
  for (uint64_t k = 1; k < 200 && !succeeded; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
    uri_.assign("uri before");
    current_->pool().failAllocationAt(k);
    const double result = geturi("Portal", allOutputs());
    current_->pool().failAllocationAt(0);
    EXPECT_EQ(poolBlocks(), before);
    EXPECT_EQ(current_->pool().counts().invalidReleases, 0u);
    if (k == 1) {  // the copy of the name
      EXPECT_EQ(result, -5);
      EXPECT_EQ(sysrc(), sysrcOf(kStatusNoMemory));
    }
    EXPECT_TRUE(result == 0 || result == -2 || result == -3 || result == -4 || result == -5)
        << result;
    if (result != 0) {
      EXPECT_NE(sysrc(), "0");
    }
    succeeded = result == 0 && uri_.value() == "P://H:8/S" && service_.value() == "/S";
    values.insert(result);
    if (result == 0 && !succeeded) ++partialUris;
  }
  EXPECT_TRUE(succeeded);
  // Every kind of step failed on the way: the name or URI block (-5), the repository list
  // (-4), the connection list (-2), the attribute list (-3), and each of the four value copies.
  EXPECT_EQ(values, (std::set<double>{-5, -4, -3, -2, 0}));
  EXPECT_EQ(partialUris, 4);
}

TEST_F(ApplicationFunctionsTest, ApppropReturnsTheTextCutAtTheCapacityOfTheValue) {
  addApplications();
  refhost::CallResult r =
      call("METADATA_APPPROP", {Argument::literal("Portal  "), Argument::literal("welcome ")});
  EXPECT_EQ(r.characterValue, "Hello there");
  EXPECT_EQ(sysrc(), "0");
  // A text longer than the value's capacity (200 in this host) is cut at it.
  r = call("METADATA_APPPROP", {Argument::literal("Portal"), Argument::literal("Banner")});
  EXPECT_EQ(r.characterValue, std::string(200, 'w'));
}

TEST_F(ApplicationFunctionsTest, ApppropFailuresShowOnlyInSysmsgAndSysrc) {
  addApplications();
  refhost::CallResult r =
      call("METADATA_APPPROP", {Argument::literal("Portal"), Argument::literal("Nothing")});
  EXPECT_EQ(r.characterValue, "");  // as the host gave it
  EXPECT_EQ(r.returnCode, 0);
  EXPECT_EQ(sysrc(), sysrcOf(kNoSuchAppProperty));
  EXPECT_EQ(sysmsg(), refhost::ReferenceHost::messageText(kNoSuchAppProperty));
  // The next successful call clears them again.
  call("METADATA_APPPROP", {Argument::literal("Portal"), Argument::literal("Welcome")});
  EXPECT_EQ(sysrc(), "0");
  EXPECT_EQ(sysmsg(), "");

  host_->setMetadataProvider([](HostSession*, void** out) {
    *out = nullptr;
    return refhost::kHostStatusNoMetadataServer;
  });
  host_->endSession(session_);
  session_ = host_->newSession(nullptr, "DOSUB");
  r = call("METADATA_APPPROP", {Argument::literal("Portal"), Argument::literal("Welcome")});
  EXPECT_EQ(r.characterValue, "");
  EXPECT_EQ(sysrc(), sysrcOf(refhost::kHostStatusNoMetadataServer));
}

TEST_F(ApplicationFunctionsTest, ApppropAndGeturiLeaveNoPoolBlocksBehind) {
  addApplications();
  geturi("Portal", allOutputs());
  call("METADATA_APPPROP", {Argument::literal("Portal"), Argument::literal("Welcome")});
  const uint64_t before = poolBlocks();
  for (int i = 0; i < 3; ++i) {
    geturi("Portal", allOutputs());
    geturi("Nobody", allOutputs());
    call("METADATA_APPPROP", {Argument::literal("Portal"), Argument::literal("Welcome")});
    call("METADATA_APPPROP", {Argument::literal("Portal"), Argument::literal("Nothing")});
  }
  // What stays between calls is the interface's own repository list (the next listing replaces
  // it): once the connection goes, nothing the package took is left.
  EXPECT_EQ(poolBlocks(), before);
  EXPECT_GT(before, 0u);
  call("METADATA_PURGE");
  ASSERT_EQ(blocksLeftAtRelease_.size(), 1u);
  EXPECT_EQ(blocksLeftAtRelease_[0], 0u);
}

// Without a Java runtime the host says so when asked for an object, and PASSID finds no Java
// object. (This program never starts a Java VM, so the search below is the first.)
TEST_F(ApplicationFunctionsTest, WithoutAJavaRuntimePassidReturnsThree) {
  refhost::HostConfig config;
  config.logFile = nullptr;
  config.javaHomes = {"/nonexistent/jdk"};
  refhost::ReferenceHost host(config);
  host.load(RUX_BUILD_DIR "/lib/objfuncs.so");
  EXPECT_EQ(host.createJavaObject("receiver", "rux.CredentialReceiver"),
            "no Java runtime found; set JAVA_HOME (searched: /nonexistent/jdk)");
  std::vector<Argument> args{Argument::literal("receiver")};
  EXPECT_EQ(host.call(nullptr, "METADATA_PASSID", args).returnCode, 3);
  EXPECT_TRUE(host.record().loadComponentCalls.empty());
}

}  // namespace
