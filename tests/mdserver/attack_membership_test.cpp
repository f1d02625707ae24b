// An attacker's tries at memberships, paired associations and revocation, on the sample
// repository with ordinary rights: joining a group without administering it (from either side of
// the membership, by a new object or by deleting what holds a deny), rewriting the other side of
// a paired association without Write on it, dropping links the writer cannot see, and keeping
// rights on an open connection after they were taken away. Each test states what the attacker
// tries and checks the stored state and a fresh decision afterwards, not only the status.

#include <cstring>

#include "interface_fixture.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/authentication.h"
#include "mdserver/security/security_store.h"

namespace mdserver::testing {
namespace {

using Ids = std::vector<std::string>;

constexpr const char* kAda = "A0000001.PERSON01";
constexpr const char* kBo = "A0000001.PERSON02";
constexpr const char* kChen = "A0000001.PERSON03";
constexpr const char* kDee = "A0000001.PERSON04";
constexpr const char* kAnalysts = "A0000001.GROUP001";
constexpr const char* kAdministrators = "A0000001.GROUP002";
constexpr const char* kOrders = "A0000001.TABLE001";
constexpr const char* kLedger = "A0000001.TABLE003";
constexpr const char* kFinance = "A0000001.TREE0003";
constexpr const char* kForecast = "A0000002.TABLE001";

// Targets of setAssociation as a caller may build them: identifiers written into records of its
// own, whether or not it could resolve them.
class TargetList {
 public:
  explicit TargetList(const Ids& ids) : records_(ids.size()) {
    for (size_t i = 0; i < ids.size(); ++i) {
      MetadataObject& record = records_[i];
      std::memcpy(record.identifier, ids[i].data(), ids[i].size());
      record.identifierLength = static_cast<int32_t>(ids[i].size());
      if (i + 1 < ids.size()) record.next = &records_[i + 1];
    }
  }
  MetadataObject* head() { return records_.empty() ? nullptr : records_.data(); }

 private:
  std::vector<MetadataObject> records_;
};

class AttackMembershipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    repository = openScratchRepository(&error);
    ASSERT_TRUE(repository) << error;
    Outcome outcome = repository->importSeedFile(samplePath());
    ASSERT_TRUE(outcome.ok()) << outcome.message;
  }
  void TearDown() override {
    for (MetadataInterface* md : opened) releaseInterface(md);
  }

  // A connection of the sample user (password "<user>.pass").
  MetadataInterface* as(const std::string& user, Repository* where = nullptr) {
    Repository& target = where ? *where : *repository;
    Authentication login = authenticate(target.security(), user, user + ".pass");
    EXPECT_TRUE(login.outcome.ok()) << login.outcome.message;
    MetadataInterface* md = openTestInterface(target, {user, user + ".pass"}, &login.principal);
    opened.push_back(md);
    return md;
  }
  // An entry set by whoever set up the repository (outside any connection).
  void entry(const std::string& target, const std::string& identity,
             const std::string& permission, bool grant, Repository* where = nullptr) {
    AuthorizationChange change;
    change.entry = {target, identity, permission, grant};
    Outcome outcome = (where ? *where : *repository).security().apply({change});
    ASSERT_TRUE(outcome.ok()) << outcome.message;
  }
  // What is stored, as the owner of the repository sees it.
  Ids stored(const std::string& id, const std::string& association) {
    std::vector<ObjectRow> rows;
    EXPECT_TRUE(repository->associated(id, association, rows).ok());
    Ids out;
    for (const ObjectRow& row : rows) out.push_back(row.id);
    return out;
  }
  // The groups a user would have when logging in now.
  bool memberOf(const std::string& user, const std::string& group) {
    Authentication login = authenticate(repository->security(), user, user + ".pass");
    return login.outcome.ok() && login.principal.identities.count(group) != 0;
  }
  bool mayNow(const std::string& user, const AccessTarget& target, std::string_view permission) {
    Authentication login = authenticate(repository->security(), user, user + ".pass");
    return login.outcome.ok() &&
           decide(repository->security(), login.principal, target, permission).allowed;
  }
  // The object's URI; an attacker knows the types of the sample.
  std::string uriOf(const std::string& id) {
    auto row = repository->object(id);
    return "vqsobj:" + (row ? row->type : std::string("PhysicalTable")) + "\\" + id;
  }
  MetadataObject* handle(MetadataInterface* md, const std::string& id) {
    MetadataObject* list = nullptr;
    std::string uri = uriOf(id);
    if (resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list) != kStatusOk) {
      return nullptr;
    }
    return list;
  }
  bool sees(MetadataInterface* md, const std::string& id) {
    MetadataObject* list = handle(md, id);
    if (list) freeObjectList(md, list);
    return list != nullptr;
  }
  // setAssociation on the object with that identifier, through a handle the caller resolved.
  StatusCode link(MetadataInterface* md, const std::string& id, const std::string& name,
                         int32_t flag, const Ids& targets) {
    MetadataObject* object = handle(md, id);
    if (!object) return kStatusNoMatch;
    TargetList list(targets);
    StatusCode status =
        setAssociation(object, name.data(), static_cast<int32_t>(name.size()), flag, list.head());
    freeObjectList(md, object);
    return status;
  }
  static StatusCode unlinkAll(MetadataInterface* md, const std::string& id,
                              const std::string& name) {
    return deleteAssociation(md, id.data(), static_cast<int32_t>(id.size()), "", 0, name.data(),
                             static_cast<int32_t>(name.size()));
  }
  // newObject of a type in a repository (blank: the default), joined to `related` by
  // `association` when given; the new identifier, or empty when refused (*status).
  std::string create(MetadataInterface* md, std::string type, std::string name,
                            const std::string& repositoryName, const std::string& related = "",
                            const std::string& association = "", StatusCode* status = nullptr) {
    MetadataObject draft{};
    draft.type = type.data();
    draft.typeLength = static_cast<int32_t>(type.size());
    draft.name = name.data();
    draft.nameLength = static_cast<int32_t>(name.size());
    const std::string relatedUri = related.empty() ? "" : uriOf(related);
    StatusCode s = newObject(md, relatedUri.data(), static_cast<int32_t>(relatedUri.size()),
                             association.data(), static_cast<int32_t>(association.size()),
                             repositoryName.data(), static_cast<int32_t>(repositoryName.size()),
                             &draft);
    if (status) *status = s;
    return s == kStatusOk ? std::string(draft.identifier, draft.identifierLength) : "";
  }
  // A group of the project repository, set up by its owner: `members` in it, a deny of Read on
  // FORECAST to it.
  std::string restrictedGroup(const Ids& members) {
    ObjectDraft draft;
    draft.repository = "A0000002";
    draft.type = "IdentityGroup";
    draft.name = "Contractors";
    std::string id;
    EXPECT_TRUE(repository->createObject(draft, &id).ok());
    EXPECT_TRUE(
        repository->setAssociation(id, "MemberIdentities", AssociationMode::kMerge, members).ok());
    entry(kForecast, id, "Read", false);
    return id;
  }

  std::unique_ptr<Repository> repository;
  std::vector<MetadataInterface*> opened;
};

const Ids kAdministratorsAsSeeded{kAda, kChen};

// ---- Membership: only who administers the group changes who is in it ------------------------

TEST_F(AttackMembershipTest, WriteOnAProjectRepositoryDoesNotMakeAnAdministrator) {
  entry("A0000002", kBo, "Write", true);
  MetadataInterface* bo = as("bo");
  // A group of his own where he may write, naming Administrators among its groups and himself
  // among its members: membership counts from either side, so either link would do.
  const std::string shadow = create(bo, "IdentityGroup", "Shadow", "Sales Project");
  ASSERT_FALSE(shadow.empty()) << "creating a plain object stays open to writers";
  EXPECT_NE(link(bo, shadow, "IdentityGroups", kAssociationMerge, {kAdministrators}), kStatusOk);
  EXPECT_NE(link(bo, shadow, "MemberIdentities", kAssociationMerge, {kBo}), kStatusOk);
  // A second group created already joined to the first, by NEWOBJ with a related object.
  StatusCode status = kStatusOk;
  EXPECT_TRUE(create(bo, "IdentityGroup", "Shadow Two", "Sales Project", shadow,
                     "MemberIdentities", &status)
                  .empty());
  EXPECT_NE(status, kStatusOk);

  EXPECT_EQ(stored(kAdministrators, "MemberIdentities"), kAdministratorsAsSeeded);
  EXPECT_FALSE(memberOf("bo", kAdministrators));
  EXPECT_FALSE(memberOf("bo", shadow));
  EXPECT_FALSE(mayNow("bo", repositoryTarget("A0000001"), "Administer"));
}

TEST_F(AttackMembershipTest, WriteOnAGroupOrOnOneselfIsNotAdministerOfMembership) {
  // Dee may edit the Administrators group object (its description, say) and her own person.
  entry(kAdministrators, kDee, "Write", true);
  entry(kDee, kDee, "Write", true);
  entry("A0000002", kDee, "Write", true);
  MetadataInterface* dee = as("dee");
  EXPECT_NE(link(dee, kAdministrators, "MemberIdentities", kAssociationMerge, {kDee}), kStatusOk);
  EXPECT_NE(link(dee, kAdministrators, "MemberIdentities", kAssociationAppend, {kDee}), kStatusOk);
  // From the member's side: her own list of groups.
  EXPECT_NE(link(dee, kDee, "IdentityGroups", kAssociationMerge, {kAdministrators}), kStatusOk);
  EXPECT_NE(link(dee, kDee, "IdentityGroups", kAssociationReplace, {kAdministrators}), kStatusOk);
  EXPECT_NE(link(dee, kDee, "identitygroups", kAssociationMerge, {kAdministrators}), kStatusOk)
      << "names of associations compare without regard to case";
  // A new person of hers created straight into the group.
  StatusCode status = kStatusOk;
  EXPECT_TRUE(create(dee, "Person", "Dee Again", "Sales Project", kAdministrators,
                     "MemberIdentities", &status)
                  .empty());
  EXPECT_NE(status, kStatusOk);
  std::vector<ObjectRow> made;
  EXPECT_EQ(repository->resolve("vqsobj:Person?@Name='Dee Again'", 0, made).status, kStatusNoMatch);

  EXPECT_EQ(stored(kAdministrators, "MemberIdentities"), kAdministratorsAsSeeded);
  EXPECT_TRUE(stored(kDee, "IdentityGroups").empty());
  EXPECT_FALSE(memberOf("dee", kAdministrators));
  EXPECT_FALSE(mayNow("dee", repositoryTarget("A0000001"), "Administer"));
  // Whoever administers the group's repository still may.
  MetadataInterface* chen = as("chen");
  EXPECT_EQ(link(chen, kAdministrators, "MemberIdentities", kAssociationMerge, {kDee}), kStatusOk);
  EXPECT_TRUE(memberOf("dee", kAdministrators));
}

TEST_F(AttackMembershipTest, LeavingAGroupThatDeniesNeedsWhoAdministersIt) {
  const std::string contractors = restrictedGroup({kDee});
  // Dee maintains the project repository (Write, Delete) but does not administer it.
  entry("A0000002", kDee, "Write", true);
  entry("A0000002", kDee, "Delete", true);
  entry(kDee, kDee, "Write", true);
  MetadataInterface* dee = as("dee");
  ASSERT_FALSE(sees(dee, kForecast));
  EXPECT_NE(link(dee, contractors, "MemberIdentities", kAssociationRemove, {kDee}), kStatusOk);
  EXPECT_NE(link(dee, contractors, "MemberIdentities", kAssociationReplace, {}), kStatusOk);
  EXPECT_NE(link(dee, contractors, "MemberIdentities", kAssociationModify, {}), kStatusOk);
  EXPECT_NE(link(dee, kDee, "IdentityGroups", kAssociationRemove, {contractors}), kStatusOk);
  EXPECT_NE(unlinkAll(dee, contractors, "MemberIdentities"), kStatusOk);
  EXPECT_NE(unlinkAll(dee, kDee, "IdentityGroups"), kStatusOk);
  MetadataObject* group = handle(dee, contractors);
  ASSERT_NE(group, nullptr);
  EXPECT_NE(deleteObject(dee, group), kStatusOk);
  freeObjectList(dee, group);

  EXPECT_TRUE(repository->object(contractors).has_value());
  EXPECT_EQ(stored(contractors, "MemberIdentities"), Ids{kDee});
  EXPECT_TRUE(memberOf("dee", contractors));
  EXPECT_FALSE(sees(as("dee"), kForecast));
}

// ---- Paired associations: the other side needs Write too -------------------------------------

TEST_F(AttackMembershipTest, WriteOnOneSideDoesNotRewriteTheOtherSide) {
  // The sample states folder membership on the folder's side only; ORDERS names its folder too.
  ASSERT_TRUE(
      repository->setAssociation(kOrders, "Trees", AssociationMode::kMerge, {"A0000001.TREE0002"})
          .ok());
  MetadataInterface* bo = as("bo");  // may write ORDERS, not the folders nor any group
  const Ids financeBefore = stored(kFinance, "Members");
  EXPECT_NE(link(bo, kOrders, "Trees", kAssociationMerge, {kFinance}), kStatusOk);
  EXPECT_NE(link(bo, kOrders, "IdentityGroups", kAssociationMerge, {kAdministrators}), kStatusOk);
  EXPECT_NE(link(bo, kOrders, "Trees", kAssociationReplace, {kFinance}), kStatusOk);
  EXPECT_EQ(stored(kFinance, "Members"), financeBefore);
  EXPECT_EQ(stored(kAdministrators, "MemberIdentities"), kAdministratorsAsSeeded);
  EXPECT_EQ(stored(kOrders, "Trees"), Ids{"A0000001.TREE0002"});
  // Taking ORDERS out of the Sales folder rewrites the folder too.
  const Ids salesBefore = stored("A0000001.TREE0002", "Members");
  EXPECT_NE(unlinkAll(bo, kOrders, "Trees"), kStatusOk);
  EXPECT_NE(link(bo, kOrders, "Trees", kAssociationRemove, {"A0000001.TREE0002"}), kStatusOk);
  EXPECT_EQ(stored(kOrders, "Trees"), Ids{"A0000001.TREE0002"});
  EXPECT_EQ(stored("A0000001.TREE0002", "Members"), salesBefore);
  // With Write on both sides it goes through.
  entry(kFinance, kBo, "Write", true);
  EXPECT_EQ(link(bo, kOrders, "Trees", kAssociationMerge, {kFinance}), kStatusOk);
  EXPECT_EQ(stored(kFinance, "Members"), (Ids{kLedger, kOrders}));
  EXPECT_EQ(stored(kOrders, "Trees"), (Ids{"A0000001.TREE0002", kFinance}));
}

TEST_F(AttackMembershipTest, ChangesKeepTheLinksTheWriterCannotSee) {
  entry(kFinance, kBo, "Write", true);  // Finance holds LEDGER, which Bo may not read
  ASSERT_TRUE(repository->setAssociation(kLedger, "Trees", AssociationMode::kMerge, {kFinance}).ok());
  MetadataInterface* bo = as("bo");
  ASSERT_FALSE(sees(bo, kLedger));
  EXPECT_EQ(link(bo, kFinance, "Members", kAssociationReplace, {kOrders}), kStatusOk);
  EXPECT_EQ(stored(kFinance, "Members"), (Ids{kLedger, kOrders}));
  EXPECT_EQ(link(bo, kFinance, "Members", kAssociationModify, {}), kStatusOk);
  EXPECT_EQ(stored(kFinance, "Members"), Ids{kLedger});
  EXPECT_EQ(link(bo, kFinance, "Members", kAssociationMerge, {kOrders}), kStatusOk);
  EXPECT_EQ(link(bo, kFinance, "Members", kAssociationRemove, {kOrders}), kStatusOk);
  EXPECT_EQ(stored(kFinance, "Members"), Ids{kLedger});
  // Naming the hidden table by its identifier removes nothing: it does not exist for him.
  EXPECT_NE(link(bo, kFinance, "Members", kAssociationRemove, {kLedger}), kStatusOk);
  // Deleting the association deletes what he sees of it: nothing.
  EXPECT_EQ(unlinkAll(bo, kFinance, "Members"), kStatusNoSuchAssociation);
  EXPECT_EQ(stored(kFinance, "Members"), Ids{kLedger});
  EXPECT_EQ(stored(kLedger, "Trees"), Ids{kFinance});
  // He sees no more than before either.
  MetadataObject* finance = handle(bo, kFinance);
  ASSERT_NE(finance, nullptr);
  MetadataObject* members = nullptr;
  EXPECT_EQ(getAssociation(finance, "Members", 7, &members), kStatusOk);
  EXPECT_EQ(members, nullptr);
  freeObjectList(bo, finance);
}

// ---- Decisions see the current state ---------------------------------------------------------

TEST_F(AttackMembershipTest, AConnectionLosesWhatItsGroupsGaveWhenItLeavesThem) {
  MetadataInterface* bo = as("bo");  // an analyst: Write on ORDERS, no Read on LEDGER
  MetadataObject* orders = handle(bo, kOrders);
  ASSERT_NE(orders, nullptr);
  AttributeRecord record{};
  record.name = "TableType";
  record.nameLength = 9;
  record.value = "BEFORE";
  record.valueLength = 6;
  ASSERT_EQ(setAttribute(orders, &record), kStatusOk);
  // An administrator takes him out of the analysts while his connection stays open.
  MetadataInterface* chen = as("chen");
  ASSERT_EQ(link(chen, kAnalysts, "MemberIdentities", kAssociationRemove, {kBo}), kStatusOk);
  ASSERT_FALSE(memberOf("bo", kAnalysts));
  record.value = "AFTER";
  record.valueLength = 5;
  EXPECT_EQ(setAttribute(orders, &record), kStatusWriteDenied);
  std::optional<std::string> value;
  ASSERT_TRUE(repository->attribute(kOrders, "TableType", value).ok());
  EXPECT_EQ(value, std::optional<std::string>("BEFORE"));
  // And what the analysts' deny kept from him, he now sees.
  EXPECT_TRUE(sees(bo, kLedger));
  freeObjectList(bo, orders);
}

TEST_F(AttackMembershipTest, AHandleResolvedBeforeAReadDenyReadsNothingAfterIt) {
  MetadataInterface* bo = as("bo");
  MetadataObject* orders = handle(bo, kOrders);
  ASSERT_NE(orders, nullptr);
  NameValueNode* attributes = nullptr;
  ASSERT_EQ(listAttributes(orders, &attributes), kStatusOk);
  ASSERT_NE(attributes, nullptr);
  NameNode* names = nullptr;
  ASSERT_EQ(listAssociationNames(orders, &names), kStatusOk);
  ASSERT_NE(names, nullptr);
  // The deny lands while he holds the handle (and the lists it built).
  entry(kOrders, kAnalysts, "Read", false);
  attributes = nullptr;
  EXPECT_NE(listAttributes(orders, &attributes), kStatusOk);
  EXPECT_EQ(attributes, nullptr);
  ValueText* value = nullptr;
  EXPECT_NE(getAttribute(orders, "TableType", 9, &value), kStatusOk);
  EXPECT_EQ(value, nullptr);
  names = nullptr;
  EXPECT_NE(listAssociationNames(orders, &names), kStatusOk);
  EXPECT_EQ(names, nullptr);
  MetadataObject* columns = nullptr;
  EXPECT_NE(getAssociation(orders, "Columns", 7, &columns), kStatusOk);
  EXPECT_EQ(columns, nullptr);
  NameValueNode* properties = nullptr;
  EXPECT_NE(listProperties(orders, &properties), kStatusOk);
  PropertyRecord* property = nullptr;
  EXPECT_NE(getProperty(orders, "Owner", 5, &property), kStatusOk);
  EXPECT_EQ(property, nullptr);
  EXPECT_FALSE(sees(bo, kOrders));
  freeObjectList(bo, orders);
}

TEST_F(AttackMembershipTest, AHandleOfHisOwnMakingReadsNothingHeMayNotRead) {
  // A record built by the caller with LEDGER's identifier and the operation table, claiming to
  // be a template (whose reading is decided on its repository).
  MetadataInterface* bo = as("bo");
  ASSERT_FALSE(sees(bo, kLedger));
  auto* forged = static_cast<MetadataObject*>(poolAllocate(bo, sizeof(MetadataObject)));
  ASSERT_NE(forged, nullptr);
  std::memset(forged, 0, sizeof(MetadataObject));
  forged->owner = bo;
  forged->operations = objectOperationTable(bo);
  std::memcpy(forged->identifier, kLedger, 17);
  forged->identifierLength = 17;
  char type[] = "AccessControlTemplate";
  forged->type = type;
  forged->typeLength = static_cast<int32_t>(sizeof type - 1);
  ValueText* value = nullptr;
  EXPECT_NE(getAttribute(forged, "TableType", 9, &value), kStatusOk);
  EXPECT_EQ(value, nullptr);
  NameValueNode* attributes = nullptr;
  EXPECT_NE(listAttributes(forged, &attributes), kStatusOk);
  EXPECT_EQ(attributes, nullptr);
  NameNode* names = nullptr;
  EXPECT_NE(listAssociationNames(forged, &names), kStatusOk);
  EXPECT_EQ(names, nullptr);
  poolFree(bo, forged);
}

TEST_F(AttackMembershipTest, AnotherProcessRevokesAndTheOpenConnectionFollows) {
  // Two processes on one repository: the second one's change reaches the first one's open
  // connection at its next operation.
  const SharedLocation shared("attack_membership");
  ASSERT_FALSE(shared.location().empty()) << "no PostgreSQL cluster here";
  const std::string& location = shared.location();
  std::string error;
  auto first = Repository::open(location, &error);
  ASSERT_TRUE(first) << error;
  ASSERT_TRUE(first->importSeedFile(samplePath()).ok());
  auto second = Repository::open(location, &error);
  ASSERT_TRUE(second) << error;
  MetadataInterface* bo = as("bo", first.get());
  MetadataObject* orders = handle(bo, kOrders);
  ASSERT_NE(orders, nullptr);
  ValueText* value = nullptr;
  ASSERT_EQ(getAttribute(orders, "TableType", 9, &value), kStatusOk);
  NameValueNode* attributes = nullptr;
  ASSERT_EQ(listAttributes(orders, &attributes), kStatusOk);
  // The other process: Bo leaves the analysts, and the analysts lose Read on ORDERS.
  ASSERT_TRUE(
      second->setAssociation(kAnalysts, "MemberIdentities", AssociationMode::kRemove, {kBo}).ok());
  entry(kOrders, kBo, "Read", false, second.get());
  attributes = nullptr;
  EXPECT_NE(listAttributes(orders, &attributes), kStatusOk);
  EXPECT_EQ(attributes, nullptr);
  AttributeRecord record{};
  record.name = "TableType";
  record.nameLength = 9;
  record.value = "X";
  record.valueLength = 1;
  EXPECT_EQ(setAttribute(orders, &record), kStatusWriteDenied);
  EXPECT_FALSE(sees(bo, kOrders));
  freeObjectList(bo, orders);
  releaseInterface(bo);
  opened.pop_back();
  second.reset();
  first.reset();
}

TEST_F(AttackMembershipTest, AStagedSecurityChangeCommitsOnlyIfItsAuthorMayStillMakeIt) {
  MetadataInterface* chen = as("chen");
  TransactionHandle* transaction = nullptr;
  ASSERT_EQ(beginTransaction(chen, "", 0, 0, &transaction), kStatusOk);
  IdentityPairRecord identity{};
  identity.text1 = kDee;
  identity.length1 = 17;
  AuthorizationRequest request{};
  request.identity = &identity;
  request.grantCode = 2;
  request.permission = "Administer";
  request.permissionLength = 10;
  ASSERT_EQ(setAuthorization(chen, transaction, 0, &request), kStatusOk);
  // Before the commit, Chen stops being an administrator.
  ASSERT_TRUE(repository
                  ->setAssociation(kAdministrators, "MemberIdentities", AssociationMode::kRemove,
                                   {kChen})
                  .ok());
  EXPECT_EQ(endTransaction(chen, transaction, "", 0, 0), kStatusAdministerDenied);
  EXPECT_FALSE(mayNow("dee", repositoryTarget("A0000001"), "Administer"));

  // The same with a deny that lands on him directly; a staged change he may still make commits.
  MetadataInterface* ada = as("ada");
  transaction = nullptr;
  ASSERT_EQ(beginTransaction(ada, "", 0, 0, &transaction), kStatusOk);
  ASSERT_EQ(setAuthorization(ada, transaction, 0, &request), kStatusOk);
  entry("A0000001", kAda, "Administer", false);
  EXPECT_EQ(endTransaction(ada, transaction, "", 0, 0), kStatusAdministerDenied);
  EXPECT_FALSE(mayNow("dee", repositoryTarget("A0000001"), "Administer"));
  entry("A0000001", kAda, "Administer", true);  // her own entry now grants
  transaction = nullptr;
  ASSERT_EQ(beginTransaction(ada, "", 0, 0, &transaction), kStatusOk);
  ASSERT_EQ(setAuthorization(ada, transaction, 0, &request), kStatusOk);
  EXPECT_EQ(endTransaction(ada, transaction, "", 0, 0), kStatusOk);
  EXPECT_TRUE(mayNow("dee", repositoryTarget("A0000001"), "Administer"));
}

}  // namespace
}  // namespace mdserver::testing
