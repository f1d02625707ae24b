// Storage-level behaviour: persistence, association modes, folder paths, deletion.
#include <filesystem>
#include <fstream>
#include <optional>

#include "interface_fixture.h"

namespace mdserver::testing {
namespace {

using Ids = std::vector<std::string>;

Ids associatedIds(Repository& repository, const std::string& id, const std::string& name) {
  std::vector<ObjectRow> rows;
  EXPECT_TRUE(repository.associated(id, name, rows).ok());
  Ids out;
  for (const ObjectRow& row : rows) out.push_back(row.id);
  return out;
}

class TempFile {
 public:
  TempFile() {
    path_ = (std::filesystem::temp_directory_path() /
             ("mdserver_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++)))
                .string();
  }
  ~TempFile() {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path_ + suffix);
  }
  const std::string& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::string path_;
};

using RepositoryFile = ::mdserver::testing::RepositoryInternalsTest;

TEST_F(RepositoryFile, ChangesSurviveAReopen) {
  TempFile file;
  std::string created;
  {
    auto repository = Repository::open(file.path());
    ASSERT_TRUE(repository);
    ASSERT_TRUE(repository->importSeedFile(samplePath()).ok());
    ASSERT_TRUE(repository->setAttribute("A0000001.TABLE001", "NumRows", "120001").ok());
    ASSERT_TRUE(repository->createObject({"A0000002", "person", "", "Dana", "new", {{"Title", "Intern"}}},
                                         &created).ok());
    ASSERT_TRUE(repository->setAssociation("A0000002.TABLE001", "ResponsibleParties",
                                           AssociationMode::kAppend, {created}).ok());
    ASSERT_TRUE(repository->deleteObject("A0000003.DOC00001").ok());
  }
  auto reopened = Repository::open(file.path());
  ASSERT_TRUE(reopened);
  std::optional<std::string> value;
  ASSERT_TRUE(reopened->attribute("A0000001.TABLE001", "NumRows", value).ok());
  EXPECT_EQ(value, "120001");
  auto person = reopened->object(created);
  ASSERT_TRUE(person);
  EXPECT_EQ(person->type, "Person");  // stored under the namespace's spelling
  EXPECT_EQ(created.substr(0, 9), "A0000002.");
  EXPECT_EQ(associatedIds(*reopened, "A0000002.TABLE001", "ResponsibleParties"),
            (Ids{"A0000001.PERSON02", created}));
  EXPECT_FALSE(reopened->object("A0000003.DOC00001"));
  EXPECT_DOUBLE_EQ(reopened->serverVersion(), 9.4);
  EXPECT_EQ(reopened->typeNames().front(), "Person");
}

TEST_F(RepositoryFile, ImportAndExportFunctionsForTheRunner) {
  TempFile database, exported;
  Outcome imported = importSeedIntoDatabase(database.path(), samplePath());
  ASSERT_TRUE(imported.ok()) << imported.message;
  ASSERT_TRUE(exportDatabaseToSeed(database.path(), exported.path()).ok());
  auto copy = openScratchRepository();
  Outcome again = copy->importSeedFile(exported.path());
  ASSERT_TRUE(again.ok()) << again.message;
  auto original = Repository::open(database.path());
  EXPECT_EQ(copy->exportSeedText(), original->exportSeedText());
  EXPECT_FALSE(exportDatabaseToSeed(database.path() + ".missing", exported.path()).ok());
}

TEST_F(RepositoryFile, AFileThatIsNoDatabaseIsRefusedAndLeftAlone) {
  TempFile file;
  const std::string text = "name,value\nnot,a database\n";
  {
    std::ofstream out(file.path(), std::ios::binary);
    out << text;
  }
  std::string error;
  EXPECT_FALSE(Repository::open(file.path(), &error));
  EXPECT_EQ(error, "file is not a database");
  std::ifstream in(file.path(), std::ios::binary);
  std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(after, text);
  EXPECT_FALSE(std::filesystem::exists(file.path() + "-wal"));
}

class AssociationModes : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_THROUGH_THE_WIRE("changes the repository itself, never through an interface");
    repository = openScratchRepository();
    ASSERT_TRUE(repository->importSeedFile(samplePath()).ok());
  }
  Ids columns() { return associatedIds(*repository, table, "Columns"); }
  Outcome set(AssociationMode mode, const Ids& targets) {
    return repository->setAssociation(table, "Columns", mode, targets);
  }
  std::unique_ptr<Repository> repository;
  const std::string table = "A0000001.TABLE001";
  const std::string c1 = "A0000001.COLUMN01", c2 = "A0000001.COLUMN02", c3 = "A0000001.COLUMN03",
                    c4 = "A0000001.COLUMN04", c5 = "A0000001.COLUMN05";
};

TEST_F(AssociationModes, EachModeGivesItsDocumentedOrder) {
  ASSERT_EQ(columns(), (Ids{c1, c2, c3}));
  EXPECT_TRUE(set(AssociationMode::kAppend, {c5, c4}).ok());
  EXPECT_EQ(columns(), (Ids{c1, c2, c3, c5, c4}));
  // Append refuses a target already there and changes nothing.
  EXPECT_EQ(set(AssociationMode::kAppend, {c2}).status, kStatusAlreadyAssociated);
  EXPECT_EQ(columns(), (Ids{c1, c2, c3, c5, c4}));
  EXPECT_TRUE(set(AssociationMode::kRemove, {c2, c4, "A0000001.PERSON01"}).ok());
  EXPECT_EQ(columns(), (Ids{c1, c3, c5}));
  // Merge adds only what is missing.
  EXPECT_TRUE(set(AssociationMode::kMerge, {c5, c2, c2}).ok());
  EXPECT_EQ(columns(), (Ids{c1, c3, c5, c2}));
  // Modify keeps the survivors where they were and appends the newcomers.
  EXPECT_TRUE(set(AssociationMode::kModify, {c4, c2, c1}).ok());
  EXPECT_EQ(columns(), (Ids{c1, c2, c4}));
  // Replace takes the order given.
  EXPECT_TRUE(set(AssociationMode::kReplace, {c4, c2, c1}).ok());
  EXPECT_EQ(columns(), (Ids{c4, c2, c1}));
  // A target that does not exist fails the whole change.
  EXPECT_EQ(set(AssociationMode::kReplace, {c3, "A0000001.NOSUCH01"}).status,
            kStatusObjectNotFound);
  EXPECT_EQ(columns(), (Ids{c4, c2, c1}));
}

TEST_F(AssociationModes, DeletingAnObjectRemovesItEverywhere) {
  ASSERT_TRUE(repository->deleteObject(c2).ok());
  EXPECT_EQ(columns(), (Ids{c1, c3}));
  // Properties are objects of their own and go with their owner.
  ASSERT_TRUE(repository->object("A0000001.PROP0002"));
  ASSERT_TRUE(repository->deleteObject(table).ok());
  EXPECT_FALSE(repository->object("A0000001.PROP0002"));
  EXPECT_EQ(associatedIds(*repository, "A0000001.LIB00001", "Tables"), Ids{"A0000001.TABLE002"});
  EXPECT_EQ(repository->deleteObject(table).status, kStatusObjectNotFound);
}

TEST_F(AssociationModes, NamesKeepTheirPlacesAndPairedSidesFollow) {
  auto names = [&](const std::string& id) {
    std::vector<std::string> out;
    EXPECT_TRUE(repository->associationNames(id, out).ok());
    return out;
  };
  const std::vector<std::string> initial{"Columns", "TablePackage", "ResponsibleParties"};
  ASSERT_EQ(names(table), initial);
  // Losing its first link, or being rewritten, does not move an association.
  EXPECT_TRUE(set(AssociationMode::kRemove, {c1}).ok());
  EXPECT_TRUE(set(AssociationMode::kReplace, {c3, c2, c4}).ok());
  EXPECT_EQ(names(table), initial);
  EXPECT_EQ(associatedIds(*repository, c1, "Table"), Ids{});
  // No multiplicity is enforced: the column now names both tables.
  EXPECT_EQ(associatedIds(*repository, c4, "table"), (Ids{"A0000001.TABLE002", table}));
  // Emptied, it is gone; made again, it comes last.
  EXPECT_TRUE(set(AssociationMode::kRemove, {c2, c3, c4}).ok());
  EXPECT_EQ(names(table), (std::vector<std::string>{"TablePackage", "ResponsibleParties"}));
  EXPECT_TRUE(set(AssociationMode::kMerge, {c1}).ok());
  EXPECT_EQ(names(table), (std::vector<std::string>{"TablePackage", "ResponsibleParties",
                                                    "Columns"}));
  // From the other side: the library drops the table, the table loses its TablePackage.
  EXPECT_TRUE(repository->setAssociation("A0000001.LIB00001", "Tables", AssociationMode::kRemove,
                                         {table}).ok());
  EXPECT_EQ(associatedIds(*repository, table, "TablePackage"), Ids{});
  EXPECT_TRUE(repository->deleteAssociation(table, "PhysicalTable", "Columns").ok());
  EXPECT_EQ(associatedIds(*repository, c1, "Table"), Ids{});
}

TEST_F(AssociationModes, AnExportCarriesEveryChange) {
  ASSERT_TRUE(repository->setAttribute(table, "NumRows", "7").ok());
  std::string property;
  ASSERT_TRUE(repository->addProperty(table, "Note", "kept", "", &property).ok());
  ASSERT_TRUE(set(AssociationMode::kAppend, {"A0000002.COLUMN01"}).ok());
  std::unique_ptr<Repository> copy = openScratchRepository();
  ASSERT_TRUE(copy->importSeedText(repository->exportSeedText(), "export").ok());
  std::optional<std::string> rows;
  ASSERT_TRUE(copy->attribute(table, "NumRows", rows).ok());
  EXPECT_EQ(rows, "7");
  std::optional<PropertyRow> note;
  ASSERT_TRUE(copy->property(table, "note", note).ok());
  ASSERT_TRUE(note.has_value());
  EXPECT_EQ(note->id, property);
  EXPECT_EQ(note->value, "kept");
  EXPECT_EQ(associatedIds(*copy, table, "Columns"), (Ids{c1, c2, c3, "A0000002.COLUMN01"}));
  EXPECT_EQ(associatedIds(*copy, "A0000002.COLUMN01", "Table"), Ids{table});
}

TEST_F(AssociationModes, FolderPaths) {
  std::vector<ObjectRow> rows;
  ASSERT_TRUE(repository->findByPath("", "/Shared Data/Sales/ORDERS", "", rows).ok());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, "A0000001.TABLE001");
  ASSERT_TRUE(repository->findByPath("foundation", "/Shared Data/Sales/Reports", "Tree", rows).ok());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, "A0000001.TREE0004");
  ASSERT_TRUE(repository->findByPath("", "/Shared Data/Sales/ORDERS", "Column", rows).ok());
  EXPECT_TRUE(rows.empty());
  ASSERT_TRUE(repository->findByPath("", "/Sales/ORDERS", "", rows).ok());  // not a root
  EXPECT_TRUE(rows.empty());
  ASSERT_TRUE(repository->findByPath("Sales Project", "/Projects/FORECAST", "", rows).ok());
  ASSERT_EQ(rows.size(), 1u);
  for (const char* bad : {"", "Shared Data/Sales", "/Shared Data//ORDERS", "/Shared Data/"}) {
    EXPECT_EQ(repository->findByPath("", bad, "", rows).status, kStatusMalformedPath) << bad;
  }
  EXPECT_EQ(repository->findByPath("Nowhere", "/A", "", rows).status, kStatusUnknownRepository);
}

}  // namespace
}  // namespace mdserver::testing
