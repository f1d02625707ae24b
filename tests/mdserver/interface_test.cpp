// The operations the object functions call, through the interface record and object tables.
#include <cstring>

#include "interface_fixture.h"
#include "mdserver/security/security_store.h"

namespace mdserver::testing {
namespace {

using Ids = std::vector<std::string>;

std::vector<std::string> names(const NameNode* node) {
  std::vector<std::string> out;
  for (; node; node = node->next) out.push_back(text(node->name, node->nameLength));
  return out;
}

std::vector<std::string> pairs(const NameValueNode* node) {
  std::vector<std::string> out;
  for (; node; node = node->next) {
    out.push_back(text(node->name, node->nameLength) + "=" + text(node->value, node->valueLength));
  }
  return out;
}

class ClientInterfaceTest : public InterfaceTest {};

TEST_F(ClientInterfaceTest, ServerFactsNamespaceAndRepositories) {
  EXPECT_DOUBLE_EQ(serverVersion(md), 9.4);
  EXPECT_EQ(isPaused(md), 0);
  ASSERT_TRUE(repository->setPaused(1).ok());
  EXPECT_EQ(isPaused(md), 1);

  MetadataNamespace* ns = nullptr;
  ASSERT_EQ(getNamespace(md, "RUX", 3, &ns), kStatusOk);
  ASSERT_NE(ns, nullptr);
  std::vector<std::string> types = names(ns->typeNames);
  ASSERT_EQ(types.size(), 14u);
  EXPECT_EQ(types[0], "Person");
  EXPECT_EQ(types[13], "AccessControlTemplate");
  EXPECT_EQ(types[8], "TCPIPConnection");
  EXPECT_EQ(text(ns->name, ns->nameLength), "RUX");
  EXPECT_EQ(releaseNamespace(md, ns), kStatusOk);
  EXPECT_EQ(getNamespace(md, "XYZ", 3, &ns), kStatusUnknownNamespace);

  RepositoryEntry* list = nullptr;
  ASSERT_EQ(listRepositories(md, &list), kStatusOk);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(text(list->name, list->nameLength), "FOUNDATION");
  EXPECT_EQ(text(list->identifier, list->identifierLength), "A0000001");
  ASSERT_NE(list->next, nullptr);
  EXPECT_EQ(text(list->next->description, list->next->descriptionLength),
            "Tables of the sales team");
  EXPECT_EQ(list->next->next->next, nullptr);
  // The list belongs to the interface: a second call replaces it without leaking.
  uint64_t blocks = blocksOutstanding(md);
  ASSERT_EQ(listRepositories(md, &list), kStatusOk);
  EXPECT_EQ(blocksOutstanding(md), blocks);
  // ... and its release frees it (ASan checks); the fixture gets a fresh interface.
  EXPECT_EQ(releaseInterface(md), kStatusOk);
  md = openTestInterface(*repository, {});
  ci = localInterface(md);
}

TEST_F(ClientInterfaceTest, AttributesThroughTheObjectTable) {
  MetadataObject* table = resolveOne("vqsobj:PhysicalTable\\A0000001.TABLE001");
  ValueText* value = nullptr;
  ASSERT_EQ(getAttribute(table, "numrows", 7, &value), kStatusOk);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(text(value->text, value->length), "120000");
  // The object's own fields, when no attribute has that name.
  ASSERT_EQ(getAttribute(table, "Name", 4, &value), kStatusOk);
  EXPECT_EQ(text(value->text, value->length), "ORDERS");
  ASSERT_EQ(getAttribute(table, "Missing", 7, &value), kStatusOk);
  EXPECT_EQ(value, nullptr);

  AttributeRecord record{};
  record.name = "Comment";
  record.nameLength = 7;
  record.value = "first";
  record.valueLength = 5;
  record.changeFlags = 1;
  ASSERT_EQ(setAttribute(table, &record), kStatusOk);
  record.name = "NumRows";
  record.nameLength = 7;
  record.value = "99";
  record.valueLength = 2;
  ASSERT_EQ(setAttribute(table, &record), kStatusOk);
  NameValueNode* list = nullptr;
  ASSERT_EQ(listAttributes(table, &list), kStatusOk);
  // An update keeps its place; a new attribute goes last.
  EXPECT_EQ(pairs(list), (std::vector<std::string>{"TableName=ORDERS", "NumRows=99",
                                                   "TableType=DATA", "Comment=first"}));
  freeObjectList(md, table);
}

TEST_F(ClientInterfaceTest, PropertiesNewAndChanged) {
  MetadataObject* table = resolveOne("vqsobj:PhysicalTable\\A0000001.TABLE002");
  PropertyRecord* found = nullptr;
  ASSERT_EQ(getProperty(table, "Schedule", 8, &found), kStatusOk);
  EXPECT_EQ(found, nullptr);
  NameValueNode* list = nullptr;
  ASSERT_EQ(listProperties(table, &list), kStatusOk);
  EXPECT_EQ(list, nullptr);

  // A new property as the package builds it: texts point into its arguments.
  char name[] = "Schedule  ";
  char value[] = "weekly";
  PropertyRecord fresh{};
  fresh.name = name;
  fresh.nameLength = 8;
  fresh.value = value;
  fresh.valueLength = 6;
  fresh.changeFlags = kPropertyNew;
  fresh.typeCode = kPropertyTypeCode;
  ASSERT_EQ(setProperty(table, &fresh), kStatusOk);
  EXPECT_EQ(setProperty(table, &fresh), kStatusDuplicate);

  ASSERT_EQ(getProperty(table, "schedule", 8, &found), kStatusOk);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(text(found->value, found->valueLength), "weekly");
  EXPECT_EQ(found->identifierLength, 17);
  EXPECT_EQ(std::string(found->identifier, 17), std::string(fresh.identifier, 17));
  // The property is an object of its own, reachable by its URI.
  std::string uri = "vqsobj:Property\\" + std::string(found->identifier, 17);
  EXPECT_EQ(resolveIds(uri), Ids{std::string(found->identifier, 17)});

  // Change it the way the package does: free the value, put a block of its own, set.
  poolFree(md, found->value);
  found->value = static_cast<char*>(poolAllocate(md, 7));
  std::memcpy(found->value, "hourly", 6);
  found->valueLength = 6;
  found->changeFlags = kPropertyValueChanged;
  ASSERT_EQ(setProperty(table, found), kStatusOk);
  ASSERT_EQ(listProperties(table, &list), kStatusOk);
  EXPECT_EQ(pairs(list), std::vector<std::string>{"Schedule=hourly"});
  freeObjectList(md, table);  // frees the record with the package's value block
}

TEST_F(ClientInterfaceTest, AssociationsListedChangedAndDeleted) {
  MetadataObject* table = resolveOne("vqsobj:PhysicalTable\\A0000001.TABLE001");
  NameNode* assocNames = nullptr;
  ASSERT_EQ(listAssociationNames(table, &assocNames), kStatusOk);
  EXPECT_EQ(names(assocNames),
            (std::vector<std::string>{"Columns", "TablePackage", "ResponsibleParties"}));
  MetadataObject* columns = nullptr;
  ASSERT_EQ(getAssociation(table, "columns", 7, &columns), kStatusOk);
  EXPECT_EQ(identifiers(columns),
            (Ids{"A0000001.COLUMN01", "A0000001.COLUMN02", "A0000001.COLUMN03"}));
  EXPECT_EQ(text(columns->next->name, columns->next->nameLength), "CUSTOMER_ID");
  ASSERT_EQ(getAssociation(table, "Nothing", 7, &columns), kStatusOk);
  EXPECT_EQ(columns, nullptr);

  // Targets as a package builds them: copies from the pool with only identifier and texts.
  MetadataObject* target = static_cast<MetadataObject*>(poolAllocate(md, sizeof(MetadataObject)));
  std::memcpy(target->identifier, "A0000001.COLUMN05", 17);
  target->identifierLength = 17;
  target->owner = md;
  target->operations = objectOperationTable(md);
  ASSERT_EQ(setAssociation(table, "Columns", 7, kAssociationAppend, target), kStatusOk);
  ASSERT_EQ(setAssociation(table, "Columns", 7, kAssociationAppend, target),
            kStatusAlreadyAssociated);
  EXPECT_EQ(setAssociation(table, "Columns", 7, 3, target), kStatusInvalidArgument);
  freeObjectList(md, target);
  ASSERT_EQ(getAssociation(table, "Columns", 7, &columns), kStatusOk);
  EXPECT_EQ(identifiers(columns).back(), "A0000001.COLUMN05");

  EXPECT_EQ(deleteAssociation(md, table->identifier, 17, "PhysicalTable", 13, "Columns", 7),
            kStatusOk);
  EXPECT_EQ(deleteAssociation(md, table->identifier, 17, "PhysicalTable", 13, "Columns", 7),
            kStatusNoSuchAssociation);
  EXPECT_EQ(deleteAssociation(md, table->identifier, 17, "Column", 6, "Columns", 7),
            kStatusObjectNotFound);
  ASSERT_EQ(listAssociationNames(table, &assocNames), kStatusOk);
  EXPECT_EQ(names(assocNames), (std::vector<std::string>{"TablePackage", "ResponsibleParties"}));
  freeObjectList(md, table);
}

TEST_F(ClientInterfaceTest, NewObjectFillsTheTemplateAndLinksTheRelatedObject) {
  // Template as the package builds it: texts point into its arguments, no identifier.
  char type[] = "Column";
  char name[] = "REGION";
  auto* made = static_cast<MetadataObject*>(poolAllocate(md, sizeof(MetadataObject)));
  made->owner = md;
  made->operations = objectOperationTable(md);
  made->type = type;
  made->typeLength = 6;
  made->name = name;
  made->nameLength = 6;
  const std::string related = "vqsobj:PhysicalTable\\A0000001.TABLE002";
  ASSERT_EQ(newObject(md, related.data(), (int32_t)related.size(), "Columns", 7, "", 0, made),
            kStatusOk);
  ASSERT_EQ(made->identifierLength, 17);
  std::string id(made->identifier, 17);
  EXPECT_EQ(id.substr(0, 9), "A0000001.");  // the default repository
  poolFree(md, made);
  EXPECT_EQ(resolveIds("vqsobj:Column?@Name='REGION'"), Ids{id});
  EXPECT_EQ(resolveIds("vqsobj:PhysicalTable?Columns/Column[@Name='REGION']"),
            Ids{"A0000001.TABLE002"});

  // A named repository, no related object; then the failures.
  MetadataObject plain{};
  plain.type = type;
  plain.typeLength = 6;
  if (wirePass()) {
    // The sample's administrator may administer Sales Project, not write in it, until its group
    // is given Write there.
    EXPECT_EQ(newObject(md, nullptr, 0, nullptr, 0, "Sales Project", 13, &plain),
              kStatusWriteDenied);
    AuthorizationChange change;
    change.entry = {"A0000002", "A0000001.GROUP002", "Write", true};
    ASSERT_TRUE(repository->security().apply({change}).ok());
  }
  ASSERT_EQ(newObject(md, nullptr, 0, nullptr, 0, "Sales Project", 13, &plain), kStatusOk);
  EXPECT_EQ(std::string(plain.identifier, 9), "A0000002.");
  EXPECT_EQ(newObject(md, nullptr, 0, nullptr, 0, "Nowhere", 7, &plain), kStatusUnknownRepository);
  char unknown[] = "Spaceship";
  plain.type = unknown;
  plain.typeLength = 9;
  EXPECT_EQ(newObject(md, nullptr, 0, nullptr, 0, "", 0, &plain), kStatusUnknownType);
  plain.type = type;
  plain.typeLength = 6;
  const std::string nothing = "vqsobj:PhysicalTable\\A0000001.NOSUCH01";
  EXPECT_EQ(newObject(md, nothing.data(), (int32_t)nothing.size(), "Columns", 7, "", 0, &plain),
            kStatusNoMatch);
}

TEST_F(ClientInterfaceTest, DeleteObjectAndFindByPath) {
  MetadataObject* found = nullptr;
  const char path[] = "/Shared Data/Sales/ORDERS";
  ASSERT_EQ(findByPath(md, "", 0, path, (int32_t)strlen(path), "", 0, &found), kStatusOk);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(text(found->type, found->typeLength), "PhysicalTable");
  ASSERT_EQ(deleteObject(md, found), kStatusOk);
  EXPECT_EQ(deleteObject(md, found), kStatusObjectNotFound);
  freeObjectList(md, found);
  ASSERT_EQ(findByPath(md, "", 0, path, (int32_t)strlen(path), "", 0, &found), kStatusOk);
  EXPECT_EQ(found, nullptr);  // nothing found: success without a list
  EXPECT_EQ(findByPath(md, "", 0, "no/slash", 8, "", 0, &found), kStatusMalformedPath);
  EXPECT_EQ(findByPath(md, "Nope", 4, "/A", 2, "", 0, &found), kStatusUnknownRepository);
}

TEST_F(ClientInterfaceTest, AppPropertyAndCredentials) {
  ValueText* value = nullptr;
  ASSERT_EQ(getAppProperty(md, "report portal", 13, "welcometext", 11, &value), kStatusOk);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(text(value->text, value->length), "Welcome to the report portal");
  EXPECT_EQ(freeText(md, value), kStatusOk);
  EXPECT_EQ(getAppProperty(md, "Report Portal", 13, "Nope", 4, &value), kStatusNoSuchAppProperty);
  EXPECT_EQ(value, nullptr);

  char* user = nullptr;
  char* password = nullptr;
  int32_t userLength = 0, passwordLength = 0;
  ASSERT_EQ(getCredentials(md, &user, &userLength, &password, &passwordLength), kStatusOk);
  const Credentials given = trustedCredentials({"ada", "s3cret"});
  EXPECT_EQ(text(user, userLength), given.user);
  EXPECT_EQ(text(password, passwordLength), given.password);
  EXPECT_EQ(freeCredentials(md, user, password), kStatusOk);
}

TEST_F(ClientInterfaceTest, CallCountsAndInjectedFaults) {
  const std::string uri = "vqsobj:Person\\A0000001.PERSON01";
  resolveIds(uri);
  resolveIds(uri);
  EXPECT_EQ(callCount(md, "resolveUri"), 2u);
  EXPECT_EQ(callCount(md, "freeObjectList"), 2u);
  SKIP_THROUGH_THE_WIRE("faults are injected into the in-process interface");

  // Once, without result: the operation does nothing.
  ASSERT_TRUE(ci->injectFault("resolveUri", {0x80170001u, FaultMode::kOnce, false}));
  StatusCode status = 0;
  EXPECT_TRUE(resolveIds(uri, &status).empty());
  EXPECT_EQ(status, 0x80170001u);
  EXPECT_EQ(resolveIds(uri, &status), Ids{"A0000001.PERSON01"});
  EXPECT_EQ(status, kStatusOk);

  // Every time, with result: a failing resolution that still yields objects.
  ASSERT_TRUE(ci->injectFault("resolveUri", {0x80170002u, FaultMode::kAlways, true}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(resolveIds(uri, &status), Ids{"A0000001.PERSON01"});
    EXPECT_EQ(status, 0x80170002u);
  }
  ci->clearFaults();

  // Object operations too, counted by their own names.
  MetadataObject* person = resolveOne(uri);
  ASSERT_TRUE(ci->injectFault("getAttribute", {0x80170003u, FaultMode::kOnce, false}));
  ValueText* value = nullptr;
  EXPECT_EQ(getAttribute(person, "Title", 5, &value), 0x80170003u);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(getAttribute(person, "Title", 5, &value), kStatusOk);
  EXPECT_EQ(callCount(md, "getAttribute"), 2u);
  freeObjectList(md, person);
  EXPECT_FALSE(ci->injectFault("noSuchOperation", {1, FaultMode::kOnce, false}));
}

}  // namespace
}  // namespace mdserver::testing
