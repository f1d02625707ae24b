// Access control templates in seed files and repository files: an export imports back to the
// same templates (attributes in order, entries, applications) and exports the same text again;
// seeds that keep a template only in the security section still import; a seed that names a
// template's identifier for another object is refused; a repository file of the earlier layout
// (templates in tables of their own) opens with its templates as objects.
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>

#include "interface_fixture.h"
#include "mdserver/security/security_store.h"

namespace mdserver::testing {
namespace {

constexpr char kSeed[] = R"({"types": ["Person", "PhysicalTable"],
  "repositories": [{"id": "R0000001", "name": "Main"}],
  "objects": [
    {"repository": "R0000001", "type": "Person", "id": "R0000001.PERSON01", "name": "Ann"},
    {"repository": "R0000001", "type": "PhysicalTable", "id": "R0000001.TABLE001", "name": "T"}],
  "security": {
    "permissions": ["Read", "Write"],
    "authorizations": [{"target": "R0000001", "identity": "Everybody", "permission": "Read",
                        "decision": "grant"}],
    "templates": [
      {"id": "R0000001.T0000001",
       "attributes": {"Name": "Editors", "Description": "who edits", "Zeta": "1", "Alpha": "2"},
       "authorizations": [{"identity": "Ann", "permission": "Write", "decision": "grant"},
                          {"identity": "Everybody", "permission": "Write", "decision": "deny"}],
       "appliedTo": ["R0000001.TABLE001", "R0000001"]},
      {"id": "R0000001.T0000002", "attributes": {"Name": "Unused"}}]}})";

struct Snapshot {
  std::vector<TemplateRecord> templates;
  std::vector<AccessEntry> entries;
  std::vector<std::string> onTable;
  std::vector<std::string> onRepository;
};

Snapshot snapshot(Repository& repository) {
  Snapshot s;
  SecurityStore& store = repository.security();
  EXPECT_TRUE(store.templates("R0000001", s.templates).ok());
  EXPECT_TRUE(store.entries("R0000001.T0000001", s.entries).ok());
  EXPECT_TRUE(store.applications("R0000001.TABLE001", s.onTable).ok());
  EXPECT_TRUE(store.applications("R0000001", s.onRepository).ok());
  return s;
}

using TemplateSeed = ::mdserver::testing::RepositoryInternalsTest;

TEST_F(TemplateSeed, ExportImportsBackToTheSameTemplates) {
  auto repository = Repository::open("");
  Outcome imported = repository->importSeedText(kSeed, "<seed>");
  ASSERT_TRUE(imported.ok()) << imported.message;
  const Snapshot before = snapshot(*repository);
  ASSERT_EQ(before.templates.size(), 2u);
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(before.templates[0].attributes,
            (Pairs{{"Name", "Editors"}, {"Description", "who edits"}, {"Zeta", "1"}, {"Alpha", "2"}}));
  ASSERT_EQ(before.entries.size(), 2u);
  EXPECT_EQ(before.onTable, std::vector<std::string>{"R0000001.T0000001"});
  EXPECT_EQ(before.onRepository, std::vector<std::string>{"R0000001.T0000001"});
  // The template is an object of its type.
  auto object = repository->object("R0000001.T0000001");
  ASSERT_TRUE(object);
  EXPECT_EQ(object->type, "AccessControlTemplate");
  EXPECT_EQ(object->name, "Editors");

  const std::string exported = repository->exportSeedText();
  auto copy = Repository::open("");
  Outcome again = copy->importSeedText(exported, "<export>");
  ASSERT_TRUE(again.ok()) << again.message;
  const Snapshot after = snapshot(*copy);
  ASSERT_EQ(after.templates.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(after.templates[i].id, before.templates[i].id);
    EXPECT_EQ(after.templates[i].attributes, before.templates[i].attributes);
  }
  EXPECT_EQ(after.entries, before.entries);
  EXPECT_EQ(after.onTable, before.onTable);
  EXPECT_EQ(after.onRepository, before.onRepository);
  EXPECT_EQ(copy->exportSeedText(), exported);
}

TEST_F(TemplateSeed, ATemplateIdentifierTakenByAnotherObjectIsRefused) {
  std::string seed = kSeed;
  const std::string table = "\"R0000001.TABLE001\", \"name\": \"T\"";
  seed.replace(seed.find(table), table.size(), "\"R0000001.T0000002\", \"name\": \"T\"");
  const std::string targets = "\"R0000001.TABLE001\", \"R0000001\"";
  seed.replace(seed.find(targets), targets.size(), "\"R0000001\"");
  auto repository = Repository::open("");
  Outcome outcome = repository->importSeedText(seed, "<seed>");
  ASSERT_FALSE(outcome.ok());
  EXPECT_NE(outcome.message.find("'R0000001.T0000002' is an object of another type"),
            std::string::npos)
      << outcome.message;
  EXPECT_FALSE(repository->object("R0000001.T0000001"));  // nothing of the file stored
}

// Found by fuzzing: a dot in a template's identifier was taken, and the export of the
// repository was then refused on import, as an object identifier must not hold one there.
TEST_F(TemplateSeed, ATemplateIdentifierOfAnotherShapeIsRefusedWithItsPlace) {
  for (const char* id : {"R0000001.T000000.", "R000000..T0000001", "R0000001.T00000-1"}) {
    std::string seed = kSeed;
    const std::string template1 = "\"R0000001.T0000001\",\n       \"attributes\"";
    ASSERT_NE(seed.find(template1), std::string::npos);
    seed.replace(seed.find(template1), template1.size(),
                 std::string("\"") + id + "\",\n       \"attributes\"");
    auto repository = Repository::open("");
    Outcome outcome = repository->importSeedText(seed, "<seed>");
    ASSERT_FALSE(outcome.ok()) << id;
    EXPECT_NE(outcome.message.find("<seed>:11:14:"), std::string::npos) << outcome.message;
    EXPECT_NE(outcome.message.find("8 letters or digits"), std::string::npos) << outcome.message;
    EXPECT_FALSE(repository->object("R0000001.PERSON01")) << "nothing of the file stored";
  }
}

TEST_F(TemplateSeed, ARepositoryFileOfTheEarlierLayoutKeepsItsTemplates) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("template_seed_" + std::to_string(::getpid()) + ".db"))
                               .string();
  {
    auto repository = Repository::open(path);
    ASSERT_TRUE(repository);
    ASSERT_TRUE(repository->importSeedText(R"({"types": ["PhysicalTable"],
      "repositories": [{"id": "R0000001", "name": "Main"}],
      "objects": [{"repository": "R0000001", "type": "PhysicalTable", "id": "R0000001.TABLE001"}]})",
                                           "<seed>")
                    .ok());
    // Templates as that layout kept them, with an application and an entry by identifier.
    std::lock_guard lock(repository->mutex());
    ASSERT_EQ(sqlite3_exec(repository->rawHandle(), R"sql(
      CREATE TABLE templates(id TEXT PRIMARY KEY, repository TEXT NOT NULL,
                             number INTEGER NOT NULL) WITHOUT ROWID;
      CREATE TABLE template_attributes(position INTEGER PRIMARY KEY, template TEXT NOT NULL,
        name TEXT NOT NULL COLLATE NOCASE, value TEXT NOT NULL, UNIQUE(template, name));
      INSERT INTO templates VALUES('R0000001.T0000003', 'R0000001', 3);
      INSERT INTO template_attributes(template, name, value) VALUES
        ('R0000001.T0000003', 'Owner', 'Ann'), ('R0000001.T0000003', 'Name', 'Old'),
        ('R0000001.T0000003', 'Description', 'kept');
      INSERT INTO template_applications(template, target) VALUES('R0000001.T0000003',
                                                                 'R0000001.TABLE001');)sql",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  std::string error;
  auto reopened = Repository::open(path, &error);
  ASSERT_TRUE(reopened) << error;
  std::optional<TemplateRecord> found;
  ASSERT_TRUE(reopened->security().findTemplate("old", found).ok());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->id, "R0000001.T0000003");
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(found->attributes, (Pairs{{"Name", "Old"}, {"Description", "kept"}, {"Owner", "Ann"}}));
  std::vector<std::string> applied;
  ASSERT_TRUE(reopened->security().applications("R0000001.TABLE001", applied).ok());
  EXPECT_EQ(applied, std::vector<std::string>{"R0000001.T0000003"});
  int64_t last = 0;
  ASSERT_TRUE(reopened->security().lastTemplateNumber("R0000001", last).ok());
  EXPECT_EQ(last, 3);
  reopened.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

}  // namespace
}  // namespace mdserver::testing
