// Access control templates are objects of type AccessControlTemplate: the object functions
// resolve and read them, deleting one through METADATA_DELOBJ (or deleting an object a template is
// applied to) leaves no application or entry behind, and the template's own entries never give
// anyone rights on the template object itself.
#include "mdserver/access/access_explanation.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/security_store.h"
#include "secured_fixture.h"

namespace {

using refhost::CharacterVariable;
using testing_support::SecuredFixture;

constexpr char kTemplateUri[] = "vqsobj:AccessControlTemplate\\B0000001.T0000001";
constexpr char kTableUri[] = "vqsobj:PhysicalTable\\B0000001.TABLE001";

class TemplateObjectsTest : public SecuredFixture {
 protected:
  double call(const char* name, std::vector<std::string> texts) {
    std::vector<Arg> args;
    for (const std::string& t : texts) args.push_back(Arg::literal(t));
    return value(name, args);
  }
  double resolve(const std::string& uri) {
    return value("METADATA_RESOLVE", {Arg::literal(uri), Arg::of(type_), Arg::of(id_)});
  }
  double getattr(const std::string& uri, const std::string& name) {
    return value("METADATA_GETATTR", {Arg::literal(uri), Arg::literal(name), Arg::of(text_)});
  }
  std::vector<std::string> applied(const std::string& target) {
    std::vector<std::string> out;
    EXPECT_TRUE(repository_->security().applications(target, out).ok());
    return out;
  }
  std::vector<mdserver::AccessEntry> entries(const std::string& target) {
    std::vector<mdserver::AccessEntry> out;
    EXPECT_TRUE(repository_->security().entries(target, out).ok());
    return out;
  }
  // Stewards: Write for Rick, applied to TABLE001.
  void makeStewards() {
    ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Stewards", "Description", "who keeps it"}), 0);
    ASSERT_EQ(call("METASEC_SETAUTH", {"", "", "", "Rick", "G", "Write", "Stewards"}), 0);
    ASSERT_EQ(call("METASEC_APPLYACT", {"", kTableUri, "Stewards"}), 0);
  }

  CharacterVariable type_{40}, id_{20}, text_{40};
};

TEST_F(TemplateObjectsTest, ATemplateResolvesAndReadsLikeAnyObject) {
  makeStewards();
  EXPECT_EQ(resolve(kTemplateUri), 1);
  EXPECT_EQ(type_.trimmed(), "AccessControlTemplate");
  EXPECT_EQ(id_.trimmed(), "B0000001.T0000001");
  EXPECT_EQ(resolve("vqsobj:AccessControlTemplate?@Name='Stewards'"), 1);
  EXPECT_EQ(getattr(kTemplateUri, "Name"), 0);
  EXPECT_EQ(text_.trimmed(), "Stewards");
  EXPECT_EQ(getattr(kTemplateUri, "Desc"), 0);
  EXPECT_EQ(text_.trimmed(), "who keeps it");
  // Renaming through the template functions is renaming the object, and the other way round
  // the object's attributes are the template's.
  ASSERT_EQ(call("METASEC_SETACTA", {"", "Stewards", "Name", "Keepers"}), 0);
  ASSERT_EQ(call("METASEC_SETACTA", {"", "Keepers", "Owner", "Ann"}), 0);
  EXPECT_EQ(resolve("vqsobj:AccessControlTemplate?@Name='Keepers'"), 1);
  EXPECT_EQ(getattr(kTemplateUri, "Owner"), 0);
  EXPECT_EQ(text_.trimmed(), "Ann");
  ASSERT_EQ(call("METADATA_SETATTR", {kTemplateUri, "Owner", "Bea"}), 0);
  EXPECT_EQ(value("METASEC_GETACTA", {Arg::literal(""), Arg::literal("Keepers"),
                                      Arg::literal("owner"), Arg::of(text_)}),
            0);
  EXPECT_EQ(text_.trimmed(), "Bea");
  // The type is in the namespace, as every object's is.
  const std::vector<std::string> types = repository_->typeNames();
  EXPECT_NE(std::find(types.begin(), types.end(), "AccessControlTemplate"), types.end());
  // The object URI is a reference the security functions accept for the template.
  ASSERT_EQ(call("METASEC_SETAUTH", {"", "", "", "Wes", "D", "Write", kTemplateUri}), 0);
  EXPECT_EQ(entries("B0000001.T0000001").size(), 2u);
  // A template is applied to repositories and objects, not to a template.
  EXPECT_EQ(call("METASEC_APPLYACT", {"", kTemplateUri, "Keepers"}),
            exact(mdserver::kStatusInvalidArgument));
  EXPECT_TRUE(applied("B0000001.T0000001").empty());
}

TEST_F(TemplateObjectsTest, DeletingTheTemplateObjectLeavesNothingBehind) {
  makeStewards();
  ASSERT_EQ(call("METASEC_APPLYACT", {"", "", "Stewards"}), 0);
  ASSERT_EQ(applied("B0000001.TABLE001").size(), 1u);
  ASSERT_EQ(call("METADATA_DELOBJ", {kTemplateUri}), 0);
  EXPECT_TRUE(applied("B0000001.TABLE001").empty());
  EXPECT_TRUE(applied("B0000001").empty());
  EXPECT_TRUE(entries("B0000001.T0000001").empty());
  std::optional<mdserver::TemplateRecord> gone;
  ASSERT_TRUE(repository_->security().findTemplate("Stewards", gone).ok());
  EXPECT_FALSE(gone);
  EXPECT_EQ(call("METASEC_REMACT", {"", kTableUri, "Stewards"}),
            exact(mdserver::kStatusUnknownTemplate));
  // A new template does not inherit anything of the deleted one's identifier.
  ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Fresh"}), 0);
  std::optional<mdserver::TemplateRecord> fresh;
  ASSERT_TRUE(repository_->security().findTemplate("Fresh", fresh).ok());
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(entries(fresh->id).empty());
}

TEST_F(TemplateObjectsTest, DeletingATargetOrTheTemplateDropsItsApplications) {
  makeStewards();
  ASSERT_EQ(call("METADATA_DELOBJ", {kTableUri}), 0);
  for (const char* target : {"B0000001.TABLE001", "B0000001"}) {
    EXPECT_TRUE(applied(target).empty()) << target;
  }
  // A staged application whose template is deleted before the commit is not committed.
  CharacterVariable text(40);
  ASSERT_EQ(value("METASEC_BEGTRAN", {Arg::literal(""), Arg::numeric(0), Arg::of(text)}), 0);
  const std::string transaction(text.trimmed());
  ASSERT_EQ(call("METASEC_APPLYACT", {transaction, "", "Stewards"}), 0);
  ASSERT_EQ(call("METASEC_SETAUTH", {transaction, "", "", "Wes", "G", "Read", "Stewards"}), 0);
  ASSERT_EQ(call("METASEC_DELACT", {"", "Stewards"}), 0);
  ASSERT_EQ(value("METASEC_ENDTRAN",
                  {Arg::literal(""), Arg::literal(transaction), Arg::numeric(0)}),
            0);
  EXPECT_TRUE(applied("B0000001").empty());
  EXPECT_TRUE(entries("B0000001.T0000001").empty());
  // The next template gets an identifier of its own, never the deleted one's, and starts with
  // nothing.
  ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Next"}), 0);
  std::optional<mdserver::TemplateRecord> next;
  ASSERT_TRUE(repository_->security().findTemplate("Next", next).ok());
  ASSERT_TRUE(next);
  EXPECT_EQ(next->id, "B0000001.T0000002");
  EXPECT_TRUE(entries(next->id).empty());
  EXPECT_TRUE(applied("B0000001").empty());
}

TEST_F(TemplateObjectsTest, TemplateEntriesGiveNoRightsOnTheTemplateItself) {
  makeStewards();
  ASSERT_EQ(call("METASEC_SETAUTH", {"", "", "", "Rick", "G", "Delete", "Stewards"}), 0);
  connectAs("rick", "rick-secret-2");
  // Rick writes the table the template is applied to ...
  EXPECT_EQ(call("METADATA_SETATTR", {kTableUri, "Note", "kept"}), 0);
  // ... but neither changes nor deletes the template object: that takes Administer on its
  // repository, as the template functions ask.
  EXPECT_EQ(resolve(kTemplateUri), 1);  // Everybody reads the repository
  EXPECT_EQ(call("METADATA_SETATTR", {kTemplateUri, "Name", "Mine"}), -2);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusWriteDenied));
  EXPECT_EQ(call("METADATA_DELOBJ", {kTemplateUri}), -2);
  EXPECT_EQ(call("METASEC_SETACTA", {"", "Stewards", "Name", "Mine"}),
            exact(mdserver::kStatusAdministerDenied));
  const mdserver::Authentication rick =
      mdserver::authenticate(repository_->security(), "rick", "rick-secret-2");
  mdserver::AccessExplanation why;
  ASSERT_TRUE(mdserver::explainAccess(*repository_, rick.principal, kTemplateUri, "Write", "", why)
                  .ok());
  EXPECT_FALSE(why.granted);
  EXPECT_EQ(why.target, "B0000001");
  // Ann administers the repository and may.
  connectAs("ann", "ann-secret-1");
  EXPECT_EQ(call("METADATA_SETATTR", {kTemplateUri, "Name", "Keepers"}), 0);
  EXPECT_EQ(call("METADATA_DELOBJ", {kTemplateUri}), 0);
  connectAs("", "");
  EXPECT_TRUE(applied("B0000001.TABLE001").empty());
}

// Each case is decided twice: by doing it as Rick through the object functions (enforcement)
// and by the explanation for Rick; the two must agree, and the case must come out as expected.
class TemplateEnforcementByObjectsTest : public TemplateObjectsTest {
 protected:
  bool writes() {
    connectAs("rick", "rick-secret-2");
    const double result = call("METADATA_SETATTR", {kTableUri, "Note", "x"});
    connectAs("", "");
    EXPECT_TRUE(result == 0 || result == -2) << result;
    return agrees(result == 0, "Write");
  }
  bool reads() {
    connectAs("rick", "rick-secret-2");
    const double found = resolve(kTableUri);
    connectAs("", "");
    return agrees(found == 1, "Read");
  }
  bool agrees(bool enforced, const char* permission) {
    const mdserver::Authentication rick =
        mdserver::authenticate(repository_->security(), "rick", "rick-secret-2");
    // Asked by the local administrator for Rick: Rick himself is told nothing about a table he
    // may not read (it is no object to him).
    mdserver::AccessExplanation why;
    EXPECT_TRUE(mdserver::explainAccess(*repository_, mdserver::Principal::administrator(),
                                        kTableUri, permission, rick.principal.identityId, why)
                    .ok());
    EXPECT_EQ(why.granted, enforced) << permission << ": " << why.summary;
    mdserver::AccessExplanation own;
    const mdserver::Outcome asked =
        mdserver::explainAccess(*repository_, rick.principal, kTableUri, permission, "", own);
    // (Asked of the decision, not through a connection: a transaction may be open on this one.)
    if (mdserver::decide(repository_->security(), rick.principal,
                         mdserver::objectTarget("B0000001.TABLE001"), "Read")
            .allowed) {
      EXPECT_TRUE(asked.ok()) << asked.message;
      EXPECT_EQ(own.granted, enforced);
    } else {
      EXPECT_EQ(asked.status, kStatusNoMatch) << asked.message;
      EXPECT_TRUE(own.steps.empty());
    }
    last_ = why;
    return enforced;
  }
  void setauth(const std::string& grant, const std::string& permission, const std::string& on) {
    ASSERT_EQ(call("METASEC_SETAUTH", {"", "", "", "Rick", grant, permission, on}), 0);
  }
  mdserver::AccessExplanation last_;
};

TEST_F(TemplateEnforcementByObjectsTest, GrantAndDenyFromTemplatesAndWhatOverridesThem) {
  ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Writers"}), 0);
  ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Hidden"}), 0);
  ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Blocker"}), 0);
  setauth("G", "Write", "Writers");
  setauth("D", "Read", "Hidden");
  setauth("D", "Write", "Blocker");
  EXPECT_FALSE(writes());
  EXPECT_TRUE(reads());  // Everybody reads the repository
  // A template's grant and deny take effect where it is applied.
  ASSERT_EQ(call("METASEC_APPLYACT", {"", kTableUri, "Writers"}), 0);
  EXPECT_TRUE(writes());
  EXPECT_EQ(last_.steps.at(0).sourceName, "Writers");
  ASSERT_EQ(call("METASEC_APPLYACT", {"", kTableUri, "Hidden"}), 0);
  EXPECT_FALSE(reads());
  ASSERT_EQ(last_.steps.size(), 2u);
  EXPECT_EQ(last_.steps[0].role, "decided");
  EXPECT_EQ(last_.steps[1].role, "overridden");  // the repository's grant to Everybody
  ASSERT_EQ(call("METASEC_REMACT", {"", kTableUri, "Hidden"}), 0);
  EXPECT_TRUE(reads());
  // Deny over grant at one level: Blocker's deny beside Writers' grant.
  ASSERT_EQ(call("METASEC_APPLYACT", {"", kTableUri, "Blocker"}), 0);
  EXPECT_FALSE(writes());
  ASSERT_EQ(last_.steps.size(), 2u);  // read in the order the templates were applied
  EXPECT_EQ(last_.steps[0].sourceName, "Writers");
  EXPECT_EQ(last_.steps[0].role, "lost");
  EXPECT_EQ(last_.steps[1].sourceName, "Blocker");
  EXPECT_EQ(last_.steps[1].role, "decided");
  // The object's own entries over the templates', either way.
  setauth("G", "Write", "B0000001.TABLE001");
  EXPECT_TRUE(writes());
  ASSERT_EQ(call("METASEC_REMACT", {"", kTableUri, "Blocker"}), 0);
  setauth("D", "Write", "B0000001.TABLE001");
  EXPECT_FALSE(writes());
  setauth("remove", "Write", "B0000001.TABLE001");
  EXPECT_TRUE(writes());
  ASSERT_EQ(call("METASEC_APPLYACT", {"", kTableUri, "Hidden"}), 0);
  setauth("G", "Read", "B0000001.TABLE001");
  EXPECT_TRUE(reads());
  setauth("remove", "Read", "B0000001.TABLE001");
  EXPECT_FALSE(reads());
  // Undone by removal and by deletion (through either function).
  ASSERT_EQ(call("METASEC_REMACT", {"", kTableUri, "Hidden"}), 0);
  EXPECT_TRUE(reads());
  ASSERT_EQ(call("METADATA_DELOBJ", {"vqsobj:AccessControlTemplate\\B0000001.T0000001"}), 0);
  EXPECT_FALSE(writes());
  ASSERT_EQ(call("METASEC_APPLYACT", {"", kTableUri, "Hidden"}), 0);
  EXPECT_FALSE(reads());
  ASSERT_EQ(call("METASEC_DELACT", {"", "Hidden"}), 0);
  EXPECT_TRUE(reads());
  EXPECT_TRUE(applied("B0000001.TABLE001").empty());
}

// Decisions are of the committed state: a template applied in an open transaction gives Rick
// nothing until the commit, and the explanation says the same at each step.
TEST_F(TemplateEnforcementByObjectsTest, StagedChangesDecideNothingUntilCommitted) {
  ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Writers"}), 0);
  setauth("G", "Write", "Writers");
  CharacterVariable text(40);
  ASSERT_EQ(value("METASEC_BEGTRAN", {Arg::literal(""), Arg::numeric(0), Arg::of(text)}), 0);
  const std::string transaction(text.trimmed());
  ASSERT_EQ(call("METASEC_APPLYACT", {transaction, kTableUri, "Writers"}), 0);
  // Rick on a connection of his own while the transaction stays open on the administrator's.
  user_ = "rick";
  password_ = "rick-secret-2";
  HostSession* rick = host_->newSession(nullptr, "DOSUB");
  auto rickWrites = [&] {
    std::vector<Arg> args{Arg::literal(kTableUri), Arg::literal("Note"), Arg::literal("x")};
    return host_->call(rick, "METADATA_SETATTR", args).numericValue == 0;
  };
  EXPECT_FALSE(agrees(rickWrites(), "Write"));
  user_.clear();
  password_.clear();
  ASSERT_EQ(value("METASEC_ENDTRAN", {Arg::literal(""), Arg::literal(transaction), Arg::numeric(0)}),
            0);
  EXPECT_TRUE(agrees(rickWrites(), "Write"));
  host_->endSession(rick);
}

}  // namespace
