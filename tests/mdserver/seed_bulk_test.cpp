// Seed imports read as streams: positions checked against a model that reads the whole text,
// forward links and generated identifiers, the export against formatting the whole document,
// the dry run and a late failure changing nothing (the file byte for byte), merge and replace.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "interface_fixture.h"
#include "mdserver/model/seed_json.h"
#include "mdserver/storage/database.h"

namespace mdserver::testing {
namespace {

namespace fs = std::filesystem;

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A folder of its own, removed at the end.
struct Folder {
  Folder() {
    path = (fs::temp_directory_path() / ("seed_bulk_" + std::to_string(getpid()) + "_" +
                                         std::to_string(++count)))
               .string();
    fs::create_directories(path);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string path;
  static inline int count = 0;
};

// A repository that outlives its Repository object: a file in folder, or a fresh schema of the
// PostgreSQL pass.
std::string persistentLocation(const Folder& folder) {
  if (postgresPass()) return testCluster() ? testCluster()->newLocation() : "";
  return folder.path + "/repo.db";
}

// n objects of type T in R0000001, object i linking to object (i + 7) % n (ahead of it for all
// but the last seven), with attributes and a property each.
std::string generatedSeed(size_t n) {
  std::string text =
      "{\"server\": {\"version\": 9.4, \"paused\": 0},\n \"types\": [\"T\", \"Group\"],\n"
      " \"repositories\": [{\"id\": \"R0000001\", \"name\": \"Main\", \"description\": \"\"}],\n"
      " \"objects\": [\n";
  auto id = [](size_t i) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "R0000001.O%07zu", i);
    return std::string(buffer);
  };
  for (size_t i = 0; i < n; ++i) {
    char property[32];
    std::snprintf(property, sizeof property, "R0000001.P%07zu", i);
    text += "  {\"repository\": \"R0000001\", \"type\": \"T\", \"id\": \"" + id(i) +
            "\", \"name\": \"object " + std::to_string(i) +
            "\",\n   \"attributes\": {\"Size\": " + std::to_string(i * 3) +
            ", \"Label\": \"tab\\tand \\\"quote\\\" \\u00e9\"},\n"
            "   \"properties\": [{\"id\": \"" + property +
            "\", \"name\": \"Badge\", \"value\": \"b\\\\" + std::to_string(i) + "\"}],\n"
            "   \"associations\": {\"Next\": [\"" + id((i + 7) % n) + "\"]}}" +
            (i + 1 < n ? ",\n" : "\n");
  }
  text += " ]}\n";
  return text;
}

using SeedStream = ::mdserver::testing::RepositoryInternalsTest;

TEST_F(SeedStream, FaultsInAStreamedFileAreWhereTheWholeTextPutsThem) {
  // The model: the whole text parsed at once and the value found by its JSON pointer. Faults
  // are put at entries far past the reader's 64 KiB buffer, inside attributes, properties and
  // associations, after a number (read one character late) and at the last entry.
  Folder folder;
  const std::string good = generatedSeed(1500);
  ASSERT_GT(good.size(), 4u * 65536);
  struct Fault {
    size_t entry;
    std::string from, to;  // replaced in that entry's text
    std::string pointer;   // below /objects/entry
    std::string reason;
  };
  const Fault faults[] = {
      {700, "\"type\": \"T\"", "\"type\": \"Nope\"", "/type", "unknown type 'Nope'"},
      {901, "\"Size\": 2703", "\"Size\": false", "/attributes/Size", "expected a string"},
      {1200, "\"name\": \"Badge\"", "\"name\": 12", "/properties/0/name", "expected a string"},
      {1300, "R0000001.O0001307", "R0000001.Z0001307", "/associations/Next/0",
       "no object 'R0000001.Z0001307'"},
      {1499, "\"id\": \"R0000001.P0001499\"", "\"id\": \"R0000001.P0000003\"",
       "/properties/0", "identifier 'R0000001.P0000003' is already in use"},
  };
  for (const Fault& fault : faults) {
    std::string text = good;
    char marker[48];
    std::snprintf(marker, sizeof marker, "\"id\": \"R0000001.O%07zu\"", fault.entry);
    const size_t entryAt = text.find(marker);
    ASSERT_NE(entryAt, std::string::npos);
    const size_t at = text.find(fault.from, text.rfind("{\"repository\"", entryAt));
    ASSERT_NE(at, std::string::npos) << fault.from;
    text.replace(at, fault.from.size(), fault.to);
    const std::string path = folder.path + "/fault.json";
    writeFile(path, text);

    seed_json::JsonLocator locator(text);
    const std::string expected =
        path + ":" +
        seed_json::location(text, locator.find("/objects/" + std::to_string(fault.entry) +
                                               fault.pointer)) +
        ": " + fault.reason;
    auto repository = openScratchRepository();
    ASSERT_TRUE(repository);
    const Outcome outcome = repository->importSeedFile(path);
    EXPECT_EQ(outcome.message, expected);
    EXPECT_TRUE(repository->repositories().empty());
  }
}

TEST_F(SeedStream, LinksReachAheadAndRoundTripsAreExact) {
  Folder folder;
  const std::string path = folder.path + "/seed.json";
  writeFile(path, generatedSeed(1200));
  auto repository = openScratchRepository();
  ASSERT_TRUE(repository);
  SeedReport report;
  ASSERT_TRUE(repository->importSeedFile(path, {}, &report).ok());
  EXPECT_EQ(report.summary.objects, 1200u);
  EXPECT_EQ(report.summary.properties, 1200u);
  EXPECT_EQ(report.summary.associations, 1200u);
  std::vector<ObjectRow> next;
  ASSERT_TRUE(repository->associated("R0000001.O0000005", "next", next).ok());
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].id, "R0000001.O0000012");
  std::optional<std::string> label;
  ASSERT_TRUE(repository->attribute("R0000001.O0000005", "Label", label).ok());
  EXPECT_EQ(label, "tab\tand \"quote\" \xc3\xa9");

  // The streamed export is the document formatted at once, and it imports back to itself.
  const std::string exported = repository->exportSeedText();
  EXPECT_EQ(exported, nlohmann::ordered_json::parse(exported).dump(2) + "\n");
  auto copy = openScratchRepository();
  ASSERT_TRUE(copy->importSeedText(exported, "<export>").ok());
  EXPECT_EQ(copy->exportSeedText(), exported);
  SeedExportSummary counts;
  ASSERT_TRUE(copy->exportSeedFile(folder.path + "/out.json", &counts, {}).ok());
  EXPECT_EQ(fileBytes(folder.path + "/out.json"), exported);
  EXPECT_EQ(counts.objects, 1200u);
  EXPECT_EQ(counts.associations, 1200u);
}

TEST_F(SeedStream, GeneratedIdentifiersSkipEveryIdentifierTheFileNames) {
  // Objects left without an identifier get theirs before any property does, and none takes one
  // that an entry further down names.
  auto repository = openScratchRepository();
  ASSERT_TRUE(repository);
  const char* seed = R"({"types": ["T"],
 "repositories": [{"id": "R0000001", "name": "x"}],
 "objects": [
  {"repository": "R0000001", "type": "T", "name": "first",
   "properties": [{"name": "P", "value": "v"}]},
  {"repository": "R0000001", "type": "T", "name": "second",
   "associations": {"Later": ["R0000001.00000002"]}},
  {"repository": "R0000001", "type": "T", "id": "R0000001.00000002", "name": "named"}]})";
  ASSERT_TRUE(repository->importSeedText(seed, "<seed>").ok());
  std::vector<ObjectRow> found;
  ASSERT_TRUE(repository->resolve("vqsobj:T?@Name='first'", 0, found).ok());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, "R0000001.00000001");
  ASSERT_TRUE(repository->resolve("vqsobj:T?@Name='second'", 0, found).ok());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, "R0000001.00000003");
  std::vector<PropertyRow> properties;
  ASSERT_TRUE(repository->properties("R0000001.00000001", properties).ok());
  ASSERT_EQ(properties.size(), 1u);
  EXPECT_EQ(properties[0].id, "R0000001.00000004");
  std::string created;
  ASSERT_TRUE(repository->createObject({"R0000001", "T", "", "after", "", {}}, &created).ok());
  EXPECT_EQ(created, "R0000001.00000005");
}

// Content for the repository the next tests change: an object with attributes, a property and
// a link, and a login whose password must never show.
constexpr const char* kCanaryPassword = "canary-Pw-5fe1c";
std::string baseSeed() {
  return std::string(R"({"types": ["T", "Person"],
 "repositories": [{"id": "R0000001", "name": "Main", "description": "old"}],
 "objects": [
  {"repository": "R0000001", "type": "T", "id": "R0000001.A0000001", "name": "a",
   "attributes": {"Colour": "red", "Size": "1"},
   "properties": [{"id": "R0000001.PA000001", "name": "Badge", "value": "7"}],
   "associations": {"Links": ["R0000001.B0000001"]}},
  {"repository": "R0000001", "type": "T", "id": "R0000001.B0000001", "name": "b"},
  {"repository": "R0000001", "type": "Person", "id": "R0000001.U0000001", "name": "Ada"}],
 "security": {"passwordHashing": "minimal", "permissions": ["Read"],
  "logins": [{"user": "ada", "password": ")") +
         kCanaryPassword + R"(", "owner": "R0000001.U0000001"}]}})";
}

using SeedDryRun = ::mdserver::testing::RepositoryInternalsTest;

TEST_F(SeedDryRun, EveryProblemIsReportedAndNothingChanges) {
  Folder folder;
  const std::string location = persistentLocation(folder);
  ASSERT_FALSE(location.empty());
  {
    auto repository = Repository::open(location);
    ASSERT_TRUE(repository);
    ASSERT_TRUE(repository->importSeedText(baseSeed(), "<base>").ok());
  }
  const std::string bytesBefore = postgresPass() ? "" : fileBytes(location);
  auto repository = Repository::open(location);
  ASSERT_TRUE(repository);
  const std::string exportBefore = repository->exportSeedText();
  const uint64_t countBefore = repository->changeCount();

  // Five problems in four places, one of them in a login that carries a clear password.
  const std::string seed = std::string(R"({"types": ["T"],
 "repositories": [{"id": "R0000002", "name": "New"}, {"id": "bad"}],
 "objects": [
  {"repository": "R0000002", "type": "Nope"},
  {"repository": "R0000002", "type": "T", "id": "R0000002.C0000001",
   "associations": {"Links": ["R0000002.C0000002", "R0000002.GONE0001"]}},
  {"repository": "R0000002", "type": "T", "id": "R0000002.C0000002"},
  {"repository": "R0000001", "type": "T", "id": "R0000001.A0000001"}],
 "security": {"logins": [{"user": "", "password": ")") +
                           kCanaryPassword + R"(", "owner": "R0000001.U0000001"}]}})";
  SeedImportOptions options;
  options.dryRun = true;
  SeedReport report;
  const Outcome outcome = repository->importSeedText(seed, "<dry>", options, &report);
  EXPECT_FALSE(outcome.ok());
  const std::vector<std::string> expected = {
      "<dry>:2:54: missing member \"name\"",
      "<dry>:4:38: unknown type 'Nope'",
      "<dry>:6:52: no object 'R0000002.GONE0001'",
      "<dry>:8:49: identifier 'R0000001.A0000001' is already in use",
      "<dry>:9:35: a user id is empty",
  };
  EXPECT_EQ(report.problems, expected);
  for (const std::string& problem : report.problems) {
    EXPECT_EQ(problem.find(kCanaryPassword), std::string::npos) << problem;
  }
  EXPECT_EQ(outcome.message.find(kCanaryPassword), std::string::npos);
  EXPECT_EQ(repository->exportSeedText(), exportBefore);
  // (SQLite's count also moves with this connection's statements that were rolled back, which
  // only makes kept results be read again; the file itself is compared below.)
  if (postgresPass()) {
    EXPECT_EQ(repository->changeCount(), countBefore);
  }

  // A clean file passes the dry run with its counts, and still changes nothing.
  const std::string clean = R"({"repositories": [{"id": "R0000002", "name": "New"}],
 "objects": [{"repository": "R0000002", "type": "T", "id": "R0000002.C0000001"}]})";
  report = {};
  ASSERT_TRUE(repository->importSeedText(clean, "<clean>", options, &report).ok());
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(report.summary.objects, 1u);
  EXPECT_EQ(repository->exportSeedText(), exportBefore);
  repository.reset();
  if (!postgresPass()) {
    EXPECT_EQ(fileBytes(location), bytesBefore);
  }
}

using SeedImport = ::mdserver::testing::RepositoryInternalsTest;

TEST_F(SeedImport, AFailureOnTheLastObjectLeavesTheRepositoryAsItWas) {
  Folder folder;
  const std::string location = persistentLocation(folder);
  ASSERT_FALSE(location.empty());
  {
    auto repository = Repository::open(location);
    ASSERT_TRUE(repository);
    ASSERT_TRUE(repository->importSeedText(baseSeed(), "<base>").ok());
  }
  const std::string bytesBefore = postgresPass() ? "" : fileBytes(location);
  // Hundreds of good objects in a new repository, linked ahead, then one that names nothing.
  std::string seed = generatedSeed(600);
  seed.replace(seed.find("R0000001"), 8, "R0000009");  // the new repository's identifier
  for (size_t at; (at = seed.find("R0000001")) != std::string::npos;) seed.replace(at, 8, "R0000009");
  const size_t lastLink = seed.rfind("R0000009.O0000006");
  seed.replace(lastLink, 17, "R0000009.MISSING1");
  const std::string path = folder.path + "/late.json";
  writeFile(path, seed);
  auto repository = Repository::open(location);
  ASSERT_TRUE(repository);
  const std::string exportBefore = repository->exportSeedText();
  for (SeedMode mode : {SeedMode::kAdd, SeedMode::kMerge, SeedMode::kReplace}) {
    SeedImportOptions options;
    options.mode = mode;
    const Outcome outcome = repository->importSeedFile(path, options, nullptr);
    EXPECT_NE(outcome.message.find("no object 'R0000009.MISSING1'"), std::string::npos)
        << outcome.message;
    EXPECT_EQ(repository->exportSeedText(), exportBefore);
  }
  repository.reset();
  if (!postgresPass()) {
    EXPECT_EQ(fileBytes(location), bytesBefore);
  }
  // The repository still takes changes afterwards.
  repository = Repository::open(location);
  std::string created;
  ASSERT_TRUE(repository->createObject({"R0000001", "T", "", "n", "", {}}, &created).ok());
}

// The definitions of the object tables' indexes and constraints as the store lists them.
std::vector<std::string> objectTablesSchema(Database& db) {
  std::vector<std::string> out;
  const char* sql =
      std::string_view(db.backendName()) == "postgresql"
          ? "SELECT pg_get_indexdef(indexrelid) FROM pg_index WHERE indrelid IN ('objects'::regclass, "
            "'attributes'::regclass, 'properties'::regclass, 'associations'::regclass) UNION ALL "
            "SELECT conrelid::regclass::text || ' ' || conname || ' ' || pg_get_constraintdef(oid) "
            "FROM pg_constraint WHERE conrelid IN ('objects'::regclass, 'attributes'::regclass, "
            "'properties'::regclass, 'associations'::regclass) ORDER BY 1"
          : "SELECT coalesce(sql, name) FROM sqlite_master WHERE tbl_name IN ('objects', "
            "'attributes', 'properties', 'associations') ORDER BY 1";
  Statement s(db, sql);
  while (s.step()) out.push_back(s.text(0));
  return out;
}

// Into a repository without objects the load may set its checks aside (a faster path on some
// stores); whatever way it ends, the tables keep every index and constraint they had.
TEST_F(SeedImport, LoadsIntoAnEmptyRepositoryKeepItsConstraints) {
  Folder folder;
  const std::string location = persistentLocation(folder);
  ASSERT_FALSE(location.empty());
  std::vector<std::string> schemaBefore;
  {
    auto repository = Repository::open(location);
    ASSERT_TRUE(repository);
    auto db = openDatabase(location);
    schemaBefore = objectTablesSchema(*db);
    ASSERT_GT(schemaBefore.size(), 8u);
  }
  auto repository = Repository::open(location);
  ASSERT_TRUE(repository);
  const std::string exportBefore = repository->exportSeedText();
  auto expectSchemaKept = [&](const char* after) {
    auto db = openDatabase(location);
    EXPECT_EQ(objectTablesSchema(*db), schemaBefore) << after;
    // The foreign keys are in force: a row naming no object is refused.
    Transaction transaction(*db);
    EXPECT_THROW(db->execute("INSERT INTO attributes(object, name, position, value) "
                             "VALUES(987654321, 'x', 1, 'y')"),
                 StorageError)
        << after;
  };

  // Failing on the last link, after hundreds of objects are in.
  std::string seed = generatedSeed(600);
  seed.replace(seed.rfind("R0000001.O0000006"), 17, "R0000001.MISSING1");
  const std::string late = folder.path + "/late.json";
  writeFile(late, seed);
  for (SeedMode mode : {SeedMode::kAdd, SeedMode::kReplace}) {
    SeedImportOptions options;
    options.mode = mode;
    EXPECT_FALSE(repository->importSeedFile(late, options, nullptr).ok());
    EXPECT_EQ(repository->exportSeedText(), exportBefore);
    expectSchemaKept("a failed import");
  }

  // A dry run with a refused entry that others link to reports the problem, not a store fault.
  std::string refused = generatedSeed(40);
  refused.replace(refused.find("\"type\": \"T\", \"id\": \"R0000001.O0000003\""), 11,
                  "\"type\": \"Nope\"");
  SeedImportOptions dryRun;
  dryRun.dryRun = true;
  SeedReport report;
  const Outcome dry = repository->importSeedText(refused, "<dry>", dryRun, &report);
  ASSERT_EQ(report.problems.size(), 1u) << dry.message;
  EXPECT_NE(report.problems[0].find("unknown type 'Nope'"), std::string::npos);
  expectSchemaKept("a dry run");

  // A load that succeeds: every row in, every check back.
  const std::string good = folder.path + "/good.json";
  writeFile(good, generatedSeed(600));
  SeedReport loaded;
  ASSERT_TRUE(repository->importSeedFile(good, SeedImportOptions{}, &loaded).ok());
  EXPECT_EQ(loaded.summary.objects, 600u);
  EXPECT_EQ(loaded.summary.associations, 600u);
  std::vector<ObjectRow> targets;
  ASSERT_TRUE(repository->associated("R0000001.O0000599", "next", targets).ok());
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_EQ(targets[0].id, "R0000001.O0000006");
  expectSchemaKept("a load");
}

TEST_F(SeedImport, MergeUpdatesWhatItMatchesAndReplaceStartsAfresh) {
  auto repository = openScratchRepository();
  ASSERT_TRUE(repository);
  ASSERT_TRUE(repository->importSeedText(baseSeed(), "<base>").ok());
  // Without a mode, an identifier in use is refused.
  const std::string update = R"({"repositories": [{"id": "R0000001", "name": "Main",
   "description": "new"}],
 "objects": [
  {"repository": "R0000001", "type": "T", "id": "R0000001.A0000001", "name": "a2",
   "attributes": {"SIZE": "2", "Shape": "round"},
   "properties": [{"id": "R0000001.PA000001", "name": "Badge", "value": "8"},
                  {"name": "Desk", "value": "4"}],
   "associations": {"links": ["R0000001.N0000001", "R0000001.B0000001"]}},
  {"repository": "R0000001", "type": "T", "id": "R0000001.N0000001", "name": "new",
   "associations": {"Links": ["R0000001.A0000001"]}}]})";
  EXPECT_FALSE(repository->importSeedText(update, "<update>").ok());

  SeedImportOptions merge;
  merge.mode = SeedMode::kMerge;
  SeedReport report;
  const Outcome merged = repository->importSeedText(update, "<update>", merge, &report);
  ASSERT_TRUE(merged.ok()) << merged.message;
  EXPECT_EQ(repository->repositoryById("R0000001")->description, "new");
  auto a = repository->object("R0000001.A0000001");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->name, "a2");
  std::vector<std::pair<std::string, std::string>> attributes;
  ASSERT_TRUE(repository->attributes("R0000001.A0000001", attributes).ok());
  const std::vector<std::pair<std::string, std::string>> expectedAttributes = {
      {"Colour", "red"}, {"Size", "2"}, {"Shape", "round"}};
  EXPECT_EQ(attributes, expectedAttributes);
  std::vector<PropertyRow> properties;
  ASSERT_TRUE(repository->properties("R0000001.A0000001", properties).ok());
  ASSERT_EQ(properties.size(), 2u);
  EXPECT_EQ(properties[0].id, "R0000001.PA000001");
  EXPECT_EQ(properties[0].value, "8");
  EXPECT_EQ(properties[1].name, "Desk");
  std::vector<ObjectRow> links;
  ASSERT_TRUE(repository->associated("R0000001.A0000001", "Links", links).ok());
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0].id, "R0000001.B0000001");  // kept its place
  EXPECT_EQ(links[1].id, "R0000001.N0000001");  // added at the end
  ASSERT_TRUE(repository->associated("R0000001.N0000001", "Links", links).ok());
  ASSERT_EQ(links.size(), 1u);
  // Merging the same file again changes nothing more.
  const std::string once = repository->exportSeedText();
  ASSERT_TRUE(repository->importSeedText(update, "<update>", merge, nullptr).ok());
  EXPECT_EQ(repository->exportSeedText(), once);
  // A type that differs is a conflict, named where the file gives it.
  const Outcome conflict = repository->importSeedText(
      R"({"objects": [{"repository": "R0000001", "type": "Person", "id": "R0000001.A0000001"}]})",
      "<conflict>", merge, nullptr);
  EXPECT_EQ(conflict.message,
            "<conflict>:1:49: object 'R0000001.A0000001' is a T in the repository, not a Person");

  // Replace: what was there is gone, logins too; the file's content alone remains.
  SeedImportOptions replace;
  replace.mode = SeedMode::kReplace;
  const std::string fresh = R"({"types": ["Other"],
 "repositories": [{"id": "R0000005", "name": "Fresh"}],
 "objects": [{"repository": "R0000005", "type": "Other", "id": "R0000005.X0000001"}]})";
  ASSERT_TRUE(repository->importSeedText(fresh, "<fresh>", replace, nullptr).ok());
  auto alone = openScratchRepository();
  ASSERT_TRUE(alone->importSeedText(fresh, "<fresh>").ok());
  EXPECT_EQ(repository->exportSeedText(), alone->exportSeedText());
  EXPECT_FALSE(repository->object("R0000001.A0000001"));
}

// On PostgreSQL a batch of rows is stored while the import reads the next: a fault the server
// finds in a batch already sent (two attribute names equal only in a case that is not ASCII,
// which the import's own checks let through) fails the import as a whole, wherever the reading
// has got to, into an empty repository or one holding objects; a load of several batches is
// whole.
TEST_F(SeedImport, AFaultInABatchAlreadySentFailsTheWholeImport) {
  if (!postgresPass()) GTEST_SKIP() << "rows go in batches on PostgreSQL only";
  Folder folder;
  const std::string location = persistentLocation(folder);
  ASSERT_FALSE(location.empty());
  auto repository = Repository::open(location);
  ASSERT_TRUE(repository);
  // More entries than one batch (20,000) holds, the clash in the first batch.
  constexpr size_t kEntries = 21000;
  auto clashing = [](std::string seed) {
    const size_t at = seed.find("\"attributes\": {", seed.find(".O0000005\""));
    seed.insert(at + 15, "\"Caf\\u00e9\": \"1\", \"CAF\\u00c9\": \"2\", ");
    return seed;
  };
  const std::string clash = folder.path + "/clash.json";
  writeFile(clash, clashing(generatedSeed(kEntries)));
  const std::string exportBefore = repository->exportSeedText();
  const Outcome intoEmpty = repository->importSeedFile(clash, SeedImportOptions{}, nullptr);
  EXPECT_EQ(intoEmpty.status, kStatusStorageFailure) << intoEmpty.message;
  EXPECT_EQ(repository->exportSeedText(), exportBefore);

  const std::string good = folder.path + "/good.json";
  writeFile(good, generatedSeed(kEntries));
  SeedReport loaded;
  ASSERT_TRUE(repository->importSeedFile(good, SeedImportOptions{}, &loaded).ok());
  EXPECT_EQ(loaded.summary.objects, kEntries);
  std::vector<ObjectRow> targets;
  for (const auto& [source, target] : {std::pair{"R0000001.O0019999", "R0000001.O0020006"},
                                       std::pair{"R0000001.O0020999", "R0000001.O0000006"}}) {
    ASSERT_TRUE(repository->associated(source, "Next", targets).ok()) << source;
    ASSERT_EQ(targets.size(), 1u) << source;
    EXPECT_EQ(targets[0].id, target);
  }
  std::vector<PropertyRow> properties;
  ASSERT_TRUE(repository->properties("R0000001.O0020999", properties).ok());
  ASSERT_EQ(properties.size(), 1u);
  EXPECT_EQ(properties[0].value, "b\\20999");

  // Into a repository that holds objects (links wait apart until the end).
  std::string second = clashing(generatedSeed(kEntries));
  for (size_t at = 0; (at = second.find("R0000001", at)) != std::string::npos; at += 8) {
    second.replace(at, 8, "R0000002");
  }
  writeFile(clash, second);
  const std::string loadedExport = repository->exportSeedText();
  const Outcome outcome = repository->importSeedFile(clash, SeedImportOptions{}, nullptr);
  EXPECT_EQ(outcome.status, kStatusStorageFailure) << outcome.message;
  EXPECT_EQ(repository->exportSeedText(), loadedExport);
}

}  // namespace
}  // namespace mdserver::testing
