// Who frees what: pool balance after every operation, lists built by either side, and every
// operation under allocation failure at each request in turn.
#include <cstring>
#include <functional>

#include "interface_fixture.h"

namespace mdserver::testing {
namespace {

class OwnershipTest : public InterfaceTest {
 protected:
  uint64_t outstanding() { return blocksOutstanding(md); }
};

TEST_F(OwnershipTest, ObjectResultsAreFreedWithTheirObject) {
  MetadataObject* table = resolveOne("vqsobj:PhysicalTable\\A0000001.TABLE001");
  // 1 object + type, name, description.
  EXPECT_EQ(outstanding(), 4u);
  NameValueNode* attributes = nullptr;
  NameNode* names = nullptr;
  MetadataObject* columns = nullptr;
  ValueText* value = nullptr;
  PropertyRecord* property = nullptr;
  ASSERT_EQ(listAttributes(table, &attributes), kStatusOk);
  ASSERT_EQ(listAssociationNames(table, &names), kStatusOk);
  ASSERT_EQ(getAssociation(table, "Columns", 7, &columns), kStatusOk);
  // Results of an associated object belong to it, and through it to the table.
  ASSERT_EQ(getAttribute(columns, "ColumnType", 10, &value), kStatusOk);
  ASSERT_EQ(getProperty(table, "RefreshSchedule", 15, &property), kStatusOk);
  uint64_t held = outstanding();
  // Asking again while nothing changed hands out the same lists; a property record is built
  // anew and replaces the earlier one instead of piling up.
  NameValueNode* firstAttributes = attributes;
  MetadataObject* firstColumns = columns;
  ASSERT_EQ(listAttributes(table, &attributes), kStatusOk);
  ASSERT_EQ(getAssociation(table, "Columns", 7, &columns), kStatusOk);
  ASSERT_EQ(getProperty(table, "refreshschedule", 15, &property), kStatusOk);
  EXPECT_EQ(attributes, firstAttributes);
  EXPECT_EQ(columns, firstColumns);
  EXPECT_EQ(outstanding(), held);

  // After a change the lists are built anew, never at the address of the ones they replace,
  // and the replaced ones go (the column's ValueText with its list).
  AttributeRecord note{"Note", 4, 0, "new", 3, 1, {0, 0}};
  ASSERT_EQ(setAttribute(table, &note), kStatusOk);
  ASSERT_EQ(listAttributes(table, &attributes), kStatusOk);
  ASSERT_EQ(getAssociation(table, "Columns", 7, &columns), kStatusOk);
  EXPECT_NE(attributes, firstAttributes);
  EXPECT_NE(columns, firstColumns);
  // One more attribute node (node, name, value); the column ValueText (record, text) is gone.
  EXPECT_EQ(outstanding(), held + 3 - 2);
  releaseObjectList(table);
  EXPECT_EQ(outstanding(), 0u);
}

TEST_F(OwnershipTest, ListsBuiltByThePackageAreFreedExactly) {
  // Two 168-byte objects with pool texts, as a package builds its target lists.
  MetadataObject* head = nullptr;
  MetadataObject* previous = nullptr;
  for (const char* id : {"A0000001.COLUMN01", "A0000001.COLUMN02"}) {
    auto* object = static_cast<MetadataObject*>(poolAllocate(md, sizeof(MetadataObject)));
    std::memcpy(object->identifier, id, 17);
    object->identifierLength = 17;
    object->type = static_cast<char*>(poolAllocate(md, 7));
    std::memcpy(object->type, "Column", 6);
    object->typeLength = 6;
    object->owner = md;
    object->operations = objectOperationTable(md);
    object->previous = previous;
    (previous ? previous->next : head) = object;
    previous = object;
  }
  // Object operations work on such copies: the identifier is what counts.
  ValueText* value = nullptr;
  ASSERT_EQ(getAttribute(head->next, "ColumnLength", 12, &value), kStatusOk);
  EXPECT_EQ(text(value->text, value->length), "8");
  EXPECT_EQ(freeObjectList(md, head), kStatusOk);
  EXPECT_EQ(outstanding(), 0u);
  EXPECT_EQ(invalidReleases(md), 0u);
}

TEST_F(OwnershipTest, DoubleAndForeignFreesAreCountedNotExecuted) {
  void* block = poolAllocate(md, 10);
  poolFree(md, block);
  poolFree(md, block);
  int local = 0;
  poolFree(md, &local);
  EXPECT_EQ(invalidReleases(md), 2u);
  EXPECT_EQ(outstanding(), 0u);
  // Clear the counter's effect on TearDown's check by starting a fresh interface.
  releaseInterface(md);
  md = openTestInterface(*repository, {});
  ci = localInterface(md);
}

TEST_F(OwnershipTest, ReleaseReclaimsListsTheCallerLeftAndReportsThem) {
  SKIP_THROUGH_THE_WIRE("the release summary is the in-process interface's");
  MetadataInterface* other = openInterface(*repository, {});
  ReleaseSummary summary;
  ClientInterface::fromAbi(other)->onRelease([&](const ReleaseSummary& s) { summary = s; });
  MetadataObject* list = nullptr;
  const char uri[] = "vqsobj:Column?@ColumnType='N'";
  ASSERT_EQ(resolveUri(other, uri, (int32_t)strlen(uri), &list), kStatusOk);
  NameValueNode* attributes = nullptr;
  ASSERT_EQ(listAttributes(list, &attributes), kStatusOk);
  ASSERT_EQ(releaseInterface(other), kStatusOk);  // ASan proves the reclaim frees everything
  EXPECT_EQ(summary.listsReclaimed, 1u);
  EXPECT_GT(summary.poolBeforeReclaim.blocksOutstanding, 0u);
  EXPECT_EQ(summary.callCounts["resolveUri"], 1u);
}

// Runs setUp, then op with allocation failing at request k = 1, 2, ... of op, then cleanUp,
// until op succeeds without a failure; a failing op must return kStatusNoMemory, and every run
// must leave the pool as it found it.
void failEachAllocation(MetadataInterface* md, const char* what, const std::function<void()>& setUp,
                        const std::function<StatusCode()>& op,
                        const std::function<void()>& cleanUp) {
  for (uint64_t k = 1;; ++k) {
    ASSERT_LT(k, 500u) << what;
    uint64_t before = blocksOutstanding(md);
    setUp();
    uint64_t failuresBefore = failedAllocations(md);
    failAllocationAt(md, k);
    StatusCode status = op();
    bool failed = failedAllocations(md) > failuresBefore;
    failAllocationAt(md, 0);
    if (status != kStatusOk) {
      EXPECT_EQ(status, kStatusNoMemory) << what << " at k=" << k;
    }
    EXPECT_EQ(status == kStatusOk, !failed) << what << " at k=" << k;
    cleanUp();
    EXPECT_EQ(blocksOutstanding(md), before) << what << " at k=" << k;
    if (!failed) return;
  }
}

TEST_F(OwnershipTest, EveryOperationSurvivesAllocationFailureAtEachRequest) {
  MetadataObject* list = nullptr;
  const std::string uri = "vqsobj:Column?Table/PhysicalTable[@Name='ORDERS']";
  auto none = [] {};
  failEachAllocation(
      md, "resolveUri", none,
      [&] { return resolveUri(md, uri.data(), (int32_t)uri.size(), &list); },
      [&] { freeObjectList(md, list); });

  // The repository list stays with the interface: count it out of the balance.
  RepositoryEntry* repositories = nullptr;
  ASSERT_EQ(listRepositories(md, &repositories), kStatusOk);
  failEachAllocation(md, "listRepositories", none, [&] { return listRepositories(md, &repositories); },
                     [&] {});
  MetadataNamespace* ns = nullptr;
  failEachAllocation(md, "getNamespace", none, [&] { return getNamespace(md, "RUX", 3, &ns); },
                     [&] { releaseNamespace(md, ns); });
  ValueText* value = nullptr;
  failEachAllocation(
      md, "getAppProperty", none,
      [&] { return getAppProperty(md, "Report Portal", 13, "MaxSessions", 11, &value); },
      [&] { freeText(md, value); });
  char *user = nullptr, *password = nullptr;
  int32_t ul = 0, pl = 0;
  failEachAllocation(md, "getCredentials", none,
                     [&] { return getCredentials(md, &user, &ul, &password, &pl); },
                     [&] { freeCredentials(md, user, password); });

  // Object operations: each on a fresh object, freed (with its results) afterwards.
  MetadataObject* table = nullptr;
  const std::string tableUri = "vqsobj:PhysicalTable\\A0000001.TABLE001";
  auto fresh = [&] {
    table = nullptr;
    ASSERT_EQ(resolveUri(md, tableUri.data(), (int32_t)tableUri.size(), &table), kStatusOk);
  };
  auto drop = [&] { freeObjectList(md, table); };
  struct ObjectOp {
    const char* name;
    std::function<StatusCode()> op;
  };
  NameValueNode* nv = nullptr;
  NameNode* names = nullptr;
  MetadataObject* assoc = nullptr;
  PropertyRecord* record = nullptr;
  const ObjectOp ops[] = {
      {"listAttributes", [&] { return listAttributes(table, &nv); }},
      {"listProperties", [&] { return listProperties(table, &nv); }},
      {"listAssociationNames", [&] { return listAssociationNames(table, &names); }},
      {"getAssociation", [&] { return getAssociation(table, "Columns", 7, &assoc); }},
      {"getAttribute", [&] { return getAttribute(table, "NumRows", 7, &value); }},
      {"getProperty", [&] { return getProperty(table, "RefreshSchedule", 15, &record); }},
  };
  // The result belongs to the object, so the balance holds once the object is freed.
  for (const ObjectOp& op : ops) failEachAllocation(md, op.name, fresh, op.op, drop);
  // The interface still holds its repository list; releasing it frees that too.
  releaseInterface(md);
  md = openTestInterface(*repository, {});
  ci = localInterface(md);
}

}  // namespace
}  // namespace mdserver::testing
