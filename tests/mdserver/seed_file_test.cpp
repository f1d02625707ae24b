// Seed files: refusals name file, line, column and reason, and store nothing.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "interface_fixture.h"

namespace mdserver::testing {
namespace {

struct BadSeed {
  const char* text;
  const char* message;  // expected message after "<test>:"
};

using SeedFile = ::mdserver::testing::RepositoryInternalsTest;

TEST_F(SeedFile, BadSeedsAreRefusedWithPositionAndStoreNothing) {
  const BadSeed cases[] = {
      {"{\"types\": [\"A\",]}", "1:16: syntax error"},
      {"{\"types\": [\"A\"],\n \"repositories\": [{\"id\": \"R0000001\"}]}",
       "2:19: missing member \"name\""},
      {"{\"types\": [\"A\"],\n \"repositories\": [{\"id\": \"R1\", \"name\": \"x\"}]}",
       "2:26: repository identifier 'R1' is not 8 letters or digits"},
      {"{\"types\": [\"A\"], \"repositories\": [{\"id\": \"R0000001\", \"name\": \"x\"}],\n"
       "\"objects\": [\n  {\"repository\": \"R0000001\", \"type\": \"A\"},\n"
       "  {\"repository\": \"R0000001\", \"type\": \"B\"}]}",
       "4:38: unknown type 'B'"},
      {"{\"types\": [\"A\"], \"repositories\": [{\"id\": \"R0000001\", \"name\": \"x\"}],\n"
       "\"objects\": [{\"repository\": \"R0000001\", \"type\": \"A\",\n"
       "  \"associations\": {\"Links\": [\"R0000001.NOTTHERE\"]}}]}",
       "3:30: no object 'R0000001.NOTTHERE'"},
      {"{\"types\": [\"A\"], \"repositories\": [{\"id\": \"R0000001\", \"name\": \"x\"}],\n"
       "\"objects\": [{\"repository\": \"R0000001\", \"type\": \"A\", \"id\": \"R0000001.X0000001\"},\n"
       "{\"repository\": \"R0000001\", \"type\": \"A\", \"id\": \"R0000001.X0000001\"}]}",
       "3:47: identifier 'R0000001.X0000001' is already in use"},
      {"{\"types\": [\"A\"], \"repositories\": [{\"id\": \"R0000001\", \"name\": \"x\"}],\n"
       "\"objects\": [{\"repository\": \"R0000001\", \"type\": \"A\", \"attributes\": {\"n\": true}}]}",
       "2:73: expected a string"},
  };
  for (const BadSeed& c : cases) {
    auto repository = openScratchRepository();
    Outcome outcome = repository->importSeedText(c.text, "<test>");
    EXPECT_EQ(outcome.status, kStatusInvalidArgument) << c.text;
    EXPECT_EQ(outcome.message.rfind(std::string("<test>:") + c.message, 0), 0u)
        << "got: " << outcome.message;
    // One transaction: not even the types or repositories before the fault were kept.
    EXPECT_TRUE(repository->typeNames().empty()) << c.text;
    EXPECT_TRUE(repository->repositories().empty()) << c.text;
  }
}

TEST_F(SeedFile, HostileValuesAreRefusedWithTheirPosition) {
  // A number no double holds, even in a member the importer does not read, and nesting far
  // deeper than any seed needs, followed by more members: refused, not a crash. Depth counts
  // every array and object, the outermost object too.
  const std::string deep = "{\"x\": " + std::string(50000, '[') + std::string(50000, ']') +
                           ",\n \"types\": [\"A\"]}";
  const BadSeed cases[] = {
      {"{\"x\": 1e400, \"types\": [\"A\"]}", "1:7: number overflow parsing '1e400'"},
      {"{\"types\": [\"A\"],\n \"server\": {\"version\": -2e308}}",
       "2:24: number overflow parsing '-2e308'"},
      {deep.c_str(), "1:70: arrays and objects nested more than 64 deep"},
  };
  for (const BadSeed& c : cases) {
    auto repository = openScratchRepository();
    Outcome outcome = repository->importSeedText(c.text, "<test>");
    EXPECT_EQ(outcome.status, kStatusInvalidArgument);
    EXPECT_EQ(outcome.message, std::string("<test>:") + c.message);
    EXPECT_TRUE(repository->typeNames().empty());
  }
  // 64 levels are still a seed file.
  auto repository = openScratchRepository();
  const std::string fine = "{\"x\": " + std::string(63, '[') + std::string(63, ']') +
                           ", \"types\": [\"A\"]}";
  EXPECT_TRUE(repository->importSeedText(fine, "<test>").ok());
}

TEST_F(SeedFile, NamesAndIdentifiersFollowOneRule) {
  const std::string head =
      "{\"types\": [\"A\"], \"repositories\": [{\"id\": \"R0000001\", \"name\": \"x\"}],\n"
      "\"objects\": [";
  const BadSeed cases[] = {
      // Attribute and association names may not be empty.
      {"{\"repository\": \"R0000001\", \"type\": \"A\", \"attributes\": {\"\": \"1\"}}]}",
       "2:72: an attribute name is empty"},
      {"{\"repository\": \"R0000001\", \"type\": \"A\", \"associations\": {\"\": []}}]}",
       "2:74: an association name is empty"},
      // An empty identifier is a mistake, not a request for a generated one.
      {"{\"repository\": \"R0000001\", \"type\": \"A\", \"id\": \"\"}]}",
       "2:59: an identifier is empty; leave \"id\" out to have one generated"},
      {"{\"repository\": \"R0000001\", \"type\": \"A\",\n"
       "  \"properties\": [{\"name\": \"P\", \"value\": \"v\", \"id\": \"\"}]}]}",
       "3:52: an identifier is empty; leave \"id\" out to have one generated"},
      // Two entries naming one identifier: refused where the second names it.
      {"{\"repository\": \"R0000001\", \"type\": \"A\",\n"
       "  \"properties\": [{\"name\": \"P\", \"value\": \"v\", \"id\": \"R0000001.P0000001\"},\n"
       "                 {\"name\": \"Q\", \"value\": \"v\", \"id\": \"R0000001.P0000001\"}]}]}",
       "4:18: identifier 'R0000001.P0000001' is already in use"},
  };
  for (const BadSeed& c : cases) {
    auto repository = openScratchRepository();
    Outcome outcome = repository->importSeedText(head + c.text, "<test>");
    EXPECT_EQ(outcome.status, kStatusInvalidArgument) << c.text;
    EXPECT_EQ(outcome.message, std::string("<test>:") + c.message);
    EXPECT_TRUE(repository->repositories().empty()) << c.text;
  }
}

TEST_F(SeedFile, GeneratedIdentifiersAvoidThoseTheFileNames) {
  // The first property gets no identifier; the generated one would be R0000001.00000001, which
  // a later property and a later object name explicitly.
  auto repository = openScratchRepository();
  Outcome outcome = repository->importSeedText(R"({"types": ["A"],
    "repositories": [{"id": "R0000001", "name": "x"}],
    "objects": [
      {"repository": "R0000001", "type": "A", "id": "R0000001.X0000001",
       "properties": [{"name": "P", "value": "v"}]},
      {"repository": "R0000001", "type": "A", "id": "R0000001.X0000002",
       "properties": [{"name": "Q", "value": "v", "id": "R0000001.00000001"}]},
      {"repository": "R0000001", "type": "A"},
      {"repository": "R0000001", "type": "A", "id": "R0000001.00000002"}]})",
                                               "<seed>");
  ASSERT_TRUE(outcome.ok()) << outcome.message;
  std::vector<PropertyRow> properties;
  ASSERT_TRUE(repository->properties("R0000001.X0000001", properties).ok());
  ASSERT_EQ(properties.size(), 1u);
  for (const char* taken : {"R0000001.00000001", "R0000001.00000002", "R0000001.X0000001"}) {
    EXPECT_NE(properties[0].id, taken);
  }
  // Generating past identifiers that exist also works after the import.
  std::string created;
  ASSERT_TRUE(repository->createObject({"R0000001", "A", "", "n", "", {}}, &created).ok());
  EXPECT_FALSE(created.empty());
}

TEST_F(SeedFile, MissingFileIsNamed) {
  auto repository = openScratchRepository();
  Outcome outcome = repository->importSeedFile("/nonexistent/seed.json");
  EXPECT_FALSE(outcome.ok());
  EXPECT_NE(outcome.message.find("/nonexistent/seed.json"), std::string::npos);
}

TEST_F(SeedFile, ExportKeepsAttributeOrderAndRoundTrips) {
  auto repository = openScratchRepository();
  ASSERT_TRUE(repository->importSeedText(R"({"types": ["T"],
    "repositories": [{"id": "R0000001", "name": "x"}],
    "objects": [{"repository": "R0000001", "type": "T", "id": "R0000001.OBJECT01",
                 "attributes": {"Zeta": "1", "Alpha": "2", "Mid": "3"},
                 "properties": [{"name": "P", "value": "v"}]}]})", "<seed>").ok());
  std::vector<std::pair<std::string, std::string>> attributes;
  ASSERT_TRUE(repository->attributes("R0000001.OBJECT01", attributes).ok());
  ASSERT_EQ(attributes.size(), 3u);
  EXPECT_EQ(attributes[0].first, "Zeta");
  EXPECT_EQ(attributes[2].first, "Mid");
  std::string exported = repository->exportSeedText();
  EXPECT_LT(exported.find("Zeta"), exported.find("Alpha"));
  auto copy = openScratchRepository();
  Outcome outcome = copy->importSeedText(exported, "<export>");
  ASSERT_TRUE(outcome.ok()) << outcome.message;
  EXPECT_EQ(copy->exportSeedText(), exported);
}

std::string scratchPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          ("seed_test_" + std::to_string(::getpid()) + "_" + name))
      .string();
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(SeedFile, RefusedImportLeavesNoNewFileAndAnOldOneIntact) {
  const std::string bad = scratchPath("bad.json");
  std::ofstream(bad) << "{\"types\": [\"A\"], \"repositories\": [{\"id\": \"X\"}]}";
  const std::string fresh = scratchPath("fresh.db");
  Outcome outcome = importSeedIntoDatabase(fresh, bad);
  EXPECT_FALSE(outcome.ok());
  EXPECT_NE(outcome.message.find(bad), std::string::npos) << outcome.message;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    EXPECT_FALSE(std::filesystem::exists(fresh + suffix)) << suffix;
  }
  // Into a repository file that exists: refused, and what it held stays.
  const std::string existing = scratchPath("existing.db");
  ASSERT_TRUE(importSeedIntoDatabase(existing, samplePath()).ok());
  EXPECT_FALSE(importSeedIntoDatabase(existing, bad).ok());
  EXPECT_FALSE(importSeedIntoDatabase(existing, samplePath()).ok()) << "identifiers are taken";
  auto reopened = Repository::open(existing);
  ASSERT_TRUE(reopened);
  EXPECT_TRUE(reopened->object("A0000001.PERSON01").has_value());
  EXPECT_EQ(reopened->typeNames().size(), 14u);
  reopened.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(existing + suffix);
  std::filesystem::remove(bad);
}

TEST_F(SeedFile, TextThatJsonCannotCarryIsRefusedOnExport) {
  // A program may store any bytes (a value in a single-byte encoding, say); the export says so
  // instead of failing half-way or writing text that would import as something else.
  auto repository = openScratchRepository();
  ASSERT_TRUE(repository->importSeedFile(samplePath()).ok());
  if (postgresPass()) {
    // A PostgreSQL database in UTF-8 refuses such a value when it is stored instead.
    Outcome refused = repository->setAttribute("A0000001.PERSON01", "Office", "Z\xFCrich");
    EXPECT_EQ(refused.status, kStatusStorageFailure);
    EXPECT_NE(refused.message.find("UTF8"), std::string::npos) << refused.message;
    return;
  }
  ASSERT_TRUE(repository->setAttribute("A0000001.PERSON01", "Office", "Z\xFCrich").ok());
  const std::string target = scratchPath("export.json");
  std::ofstream(target) << "previous export";
  Outcome outcome = repository->exportSeedFile(target);
  EXPECT_EQ(outcome.status, kStatusInvalidArgument);
  EXPECT_NE(outcome.message.find("UTF-8"), std::string::npos) << outcome.message;
  EXPECT_EQ(fileText(target), "previous export");
  EXPECT_FALSE(std::filesystem::exists(target + ".partial"));
  // Once the value is text again, the export replaces the file.
  ASSERT_TRUE(repository->setAttribute("A0000001.PERSON01", "Office", "Z\u00fcrich").ok());
  ASSERT_TRUE(repository->exportSeedFile(target).ok());
  EXPECT_EQ(fileText(target), repository->exportSeedText());
  std::filesystem::remove(target);
}

}  // namespace
}  // namespace mdserver::testing
