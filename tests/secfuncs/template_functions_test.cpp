// Access control templates through the reference host: the eight functions' tables of values,
// the identifier route of METASEC_GETNACT, argument counts, attribute matching, staged changes,
// pool balance under allocation faults, and enforcement of templates with access explanations
// that agree with it.
#include <cmath>
#include <limits>

#include "mdserver/access/access_explanation.h"
#include "mdserver/security/security_store.h"
#include "secured_fixture.h"

namespace {

using refhost::CharacterVariable;
using testing_support::SecuredFixture;

constexpr StatusCode kOddCount = 0x8017210Du;
constexpr StatusCode kNoReference = 0x8017210Eu;
constexpr char kTableUri[] = "vqsobj:PhysicalTable\\B0000001.TABLE001";

class TemplateFunctionsTest : public SecuredFixture {
 protected:
  double newact(std::vector<std::string> texts, const std::string& transaction = "") {
    std::vector<Arg> args{Arg::literal(transaction)};
    for (const std::string& t : texts) args.push_back(Arg::literal(t));
    return value("METASEC_NEWACT", args);
  }
  double getnact(const std::string& repository, double n, std::vector<Arg> more = {},
                 const std::string& transaction = "") {
    std::vector<Arg> args{Arg::literal(transaction), Arg::literal(repository), Arg::numeric(n),
                          Arg::of(t1_), Arg::of(t2_), Arg::of(t3_)};
    args.insert(args.end(), more.begin(), more.end());
    return value("METASEC_GETNACT", args);
  }
  double apply(const char* name, const std::string& repository, const std::string& reference) {
    return value(name, {Arg::literal(""), Arg::literal(repository), Arg::literal(reference)});
  }
  double delact(const std::string& reference) {
    return value("METASEC_DELACT", {Arg::literal(""), Arg::literal(reference)});
  }
  double getnacta(const std::string& reference, double n) {
    return value("METASEC_GETNACTA", {Arg::literal(""), Arg::literal(reference), Arg::numeric(n),
                                      Arg::of(t1_), Arg::of(t2_)});
  }
  double getacta(const std::string& reference, const std::string& name) {
    return value("METASEC_GETACTA",
                 {Arg::literal(""), Arg::literal(reference), Arg::literal(name), Arg::of(t2_)});
  }
  double setacta(const std::string& reference, const std::string& name, const std::string& v) {
    return value("METASEC_SETACTA", {Arg::literal(""), Arg::literal(reference), Arg::literal(name),
                                     Arg::literal(v)});
  }
  // SETAUTH on a template, or (target an object) on the object.
  double setauth(const std::string& name, const std::string& grant, const std::string& permission,
                 const std::string& target) {
    return value("METASEC_SETAUTH",
                 {Arg::literal(""), Arg::literal(""), Arg::literal(""), Arg::literal(name),
                  Arg::literal(grant), Arg::literal(permission), Arg::literal(target)});
  }

  CharacterVariable t1_{20}, t2_{30}, t3_{40};
};

TEST_F(TemplateFunctionsTest, NewactBuildsTrimmedPairsAndGetnactTakesBothRoutes) {
  ASSERT_EQ(newact({"", "  Name  ", "  Readers  ", "Description"}), -2);  // five
  EXPECT_EQ(sysrc(), sysrcOf(kOddCount));
  EXPECT_EQ(calls("newAct"), 0u);
  bool named = false;
  for (const std::string& line : host_->logTexts()) named |= line.find("METASEC_NEWACT") != std::string::npos;
  EXPECT_TRUE(named);
  // Four arguments: one pair, trimmed.
  ASSERT_EQ(newact({"", "  Name  ", "  Readers  "}), 0);
  ASSERT_EQ(newact({"Main", "Name", "Writers", "Description", "who writes"}), 0);
  // No name: the server refuses, -99 and its status.
  EXPECT_EQ(newact({"", "Description", "nameless"}), -99);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusTemplateNeedsName));
  EXPECT_EQ(newact({"", "Name", "readers"}), -99);  // the name is taken, letter case aside
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusDuplicate));

  EXPECT_EQ(getnact("Main", 1), 1);
  EXPECT_EQ(t1_.value(), std::string("B0000001.T0000001") + std::string(3, ' '));  // full width
  EXPECT_EQ(t2_.trimmed(), "Readers");
  EXPECT_EQ(t3_.trimmed(), "");
  EXPECT_EQ(getnact("Main", 2, {Arg::numeric(0)}), 2);
  EXPECT_EQ(t3_.trimmed(), "who writes");
  EXPECT_EQ(getnact("Main", 3), -5);
  EXPECT_EQ(getnact("Main", 0), -5);
  EXPECT_EQ(getnact("Main", std::numeric_limits<double>::infinity()), -4);
  EXPECT_EQ(getnact("Nowhere", 1), -3);
  // The prefix in lower case: the identifier route, the whole text to the server.
  const uint64_t byId = calls("listActsById");
  EXPECT_EQ(getnact("reposid:B0000001", 2), 2);
  EXPECT_EQ(calls("listActsById"), byId + 1);
  EXPECT_EQ(t2_.trimmed(), "Writers");
  EXPECT_EQ(getnact("REPOSID:B0000009", 1), -2);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusUnknownRepository));
  // Without its colon, or shorter than eight characters: the repository route.
  EXPECT_EQ(getnact("REPOSIDB0000001", 1), -3);
  EXPECT_EQ(getnact("REPOS", 1), -3);
  EXPECT_EQ(calls("listActsById"), byId + 2);
  // Another repository has none.
  EXPECT_EQ(getnact("Side", 1), -5);
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(TemplateFunctionsTest, AttributesMatchWholeNamesAndNameRenames) {
  ASSERT_EQ(newact({"", "Name", "Readers", "OWNER", "Ann"}), 0);
  ASSERT_EQ(getnact("Main", 1), 1);  // the interface's ACT list and the cached handle
  const uint64_t before = blocks();
  EXPECT_EQ(getnacta("Readers", 1), 1);
  EXPECT_EQ(t1_.trimmed(), "Name");
  EXPECT_EQ(t2_.trimmed(), "Readers");
  EXPECT_EQ(getnacta("B0000001.T0000001", 2), 2);
  EXPECT_EQ(t1_.trimmed(), "OWNER");
  EXPECT_EQ(getnacta("Readers", 3), -5);
  EXPECT_EQ(getnacta("Readers", std::nan("")), -4);
  EXPECT_EQ(getnacta("Nobody", 1), -99);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusUnknownTemplate));
  EXPECT_EQ(getacta("Readers", "owner"), 0);
  EXPECT_EQ(t2_.trimmed(), "Ann");
  EXPECT_EQ(getacta("Readers", "OWN"), -99);  // a name that merely begins the word
  ASSERT_EQ(setacta("Readers", "OWNERS", "x"), 0);
  EXPECT_EQ(getacta("Readers", "owner"), 0);
  EXPECT_EQ(t2_.trimmed(), "Ann");
  // Renaming through Name; a blank name is refused with the server's code itself.
  EXPECT_EQ(setacta("Readers", "name", "Auditors"), 0);
  EXPECT_EQ(getnact("Main", 1), 1);
  EXPECT_EQ(t2_.trimmed(), "Auditors");
  EXPECT_EQ(setacta("Auditors", "Name", "  "), exact(mdserver::kStatusTemplateNeedsName));
  EXPECT_EQ(setacta("Readers", "Name", "x"), exact(mdserver::kStatusUnknownTemplate));
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusUnknownTemplate));
  // Attribute lists went back to the pool; the new ACT list replaced the old one.
  EXPECT_EQ(blocks(), before);
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(TemplateFunctionsTest, ApplyRemoveAndDeleteTheirValuesAndRoutes) {
  ASSERT_EQ(newact({"", "Name", "Readers"}), 0);
  // Reference copies are freed on every path: a round over each route and failure leaves the
  // pool as the round before it did (the first one fills the cache of repository handles).
  auto round = [&] {
    apply("METASEC_APPLYACT", kTableUri, "Readers");
    apply("METASEC_REMACT", kTableUri, "Readers");
    apply("METASEC_APPLYACT", "", "Readers");
    apply("METASEC_REMACT", "", "Readers");
    apply("METASEC_REMACT", "", "Readers");
    apply("METASEC_APPLYACT", "Nowhere", "Readers");
    delact("Nobody");
  };
  round();
  const uint64_t cached = blocks();
  round();
  EXPECT_EQ(blocks(), cached);
  const uint64_t applyCalls = calls("applyAct");
  const uint64_t repoApplyCalls = calls("repoApplyAct");
  // Two arguments: no template named, nothing sent.
  EXPECT_EQ(value("METASEC_APPLYACT", {Arg::literal(""), Arg::literal("")}), -2);
  EXPECT_EQ(sysrc(), sysrcOf(kNoReference));
  EXPECT_EQ(calls("applyAct"), applyCalls);
  // Blank repository, three arguments: the default route with flags 0.
  EXPECT_EQ(apply("METASEC_APPLYACT", "", "Readers"), 0);
  EXPECT_EQ(calls("applyAct"), applyCalls + 1);
  EXPECT_EQ(apply("METASEC_APPLYACT", "", "Readers"), exact(mdserver::kStatusTemplateApplied));
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusTemplateApplied));
  EXPECT_EQ(apply("METASEC_APPLYACT", kTableUri, "readers"), 0);
  EXPECT_EQ(calls("repoApplyAct"), repoApplyCalls + 1);
  EXPECT_EQ(apply("METASEC_REMACT", "Main", "Readers"), 0);  // the repository itself
  EXPECT_EQ(apply("METASEC_REMACT", "", "Readers"), exact(mdserver::kStatusTemplateNotApplied));
  EXPECT_EQ(value("METASEC_REMACT", {Arg::literal(""), Arg::literal("Nowhere"),
                                     Arg::literal("Readers"), Arg::numeric(1)}),
            -3);
  EXPECT_EQ(apply("METASEC_APPLYACT", "", "Nobody"), exact(mdserver::kStatusUnknownTemplate));
  EXPECT_EQ(apply("METASEC_APPLYACT", "Side", "Readers"), exact(mdserver::kStatusInvalidArgument));
  std::vector<std::string> applied;
  ASSERT_TRUE(repository_->security().applications("B0000001.TABLE001", applied).ok());
  EXPECT_EQ(applied, std::vector<std::string>{"B0000001.T0000001"});
  EXPECT_EQ(delact("Nobody"), -2);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusUnknownTemplate));
  EXPECT_EQ(delact("  Readers  "), 0);
  ASSERT_TRUE(repository_->security().applications("B0000001.TABLE001", applied).ok());
  EXPECT_TRUE(applied.empty());  // deleting a template deletes its applications
  EXPECT_EQ(getnact("Main", 1), -5);
  EXPECT_EQ(invalidReleases(), 0u);
}

// The repository defines no listing or apply flags: any value is taken as given and answers as 0.
TEST_F(TemplateFunctionsTest, ListingAndApplyFlagsAreAcceptedAndChangeNothing) {
  ASSERT_EQ(newact({"", "Name", "Readers", "Description", "who reads"}), 0);
  for (double flags : {0.0, 1.0, 7.0, -1.0, 256.0}) {
    EXPECT_EQ(getnact("Main", 1, {Arg::numeric(flags)}), 1) << flags;
    EXPECT_EQ(t2_.trimmed(), "Readers");
    EXPECT_EQ(t3_.trimmed(), "who reads");
    EXPECT_EQ(getnact("reposid:B0000001", 1, {Arg::numeric(flags)}), 1) << flags;
    EXPECT_EQ(value("METASEC_APPLYACT", {Arg::literal(""), Arg::literal(kTableUri),
                                         Arg::literal("Readers"), Arg::numeric(flags)}),
              0)
        << flags;
    std::vector<std::string> applied;
    ASSERT_TRUE(repository_->security().applications("B0000001.TABLE001", applied).ok());
    EXPECT_EQ(applied, std::vector<std::string>{"B0000001.T0000001"});
    EXPECT_EQ(value("METASEC_REMACT", {Arg::literal(""), Arg::literal(kTableUri),
                                       Arg::literal("Readers"), Arg::numeric(flags)}),
              0)
        << flags;
  }
}

TEST_F(TemplateFunctionsTest, ChangesStagedInATransactionAreSeenWithItsTextOnly) {
  CharacterVariable text(40);
  ASSERT_EQ(value("METASEC_BEGTRAN", {Arg::literal(""), Arg::numeric(0), Arg::of(text)}), 0);
  const std::string transaction(text.value());
  ASSERT_EQ(newact({"", "Name", "Staged"}, transaction), 0);
  ASSERT_EQ(value("METASEC_SETAUTH",
                  {Arg::literal(transaction), Arg::literal(""), Arg::literal(""), Arg::literal("Rick"),
                   Arg::literal("G"), Arg::literal("Write"), Arg::literal("Staged")}),
            0);
  ASSERT_EQ(value("METASEC_APPLYACT",
                  {Arg::literal(transaction), Arg::literal(kTableUri), Arg::literal("Staged")}),
            0);
  EXPECT_EQ(getnact("Main", 1, {}, transaction), 1);
  EXPECT_EQ(t2_.trimmed(), "Staged");
  EXPECT_EQ(getnact("Main", 1), -5);
  std::optional<mdserver::TemplateRecord> stored;
  ASSERT_TRUE(repository_->security().findTemplate("Staged", stored).ok());
  EXPECT_FALSE(stored);
  ASSERT_EQ(value("METASEC_ENDTRAN", {Arg::literal(""), Arg::literal(transaction), Arg::numeric(0)}), 0);
  EXPECT_EQ(getnact("Main", 1), 1);
  std::vector<mdserver::AccessEntry> entries;
  ASSERT_TRUE(repository_->security().entries("B0000001.T0000001", entries).ok());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].identityId, "B0000001.PERSON02");
  std::vector<std::string> applied;
  ASSERT_TRUE(repository_->security().applications("B0000001.TABLE001", applied).ok());
  EXPECT_EQ(applied, std::vector<std::string>{"B0000001.T0000001"});
}

TEST_F(TemplateFunctionsTest, PoolBalancesUnderAllocationFaults) {
  ASSERT_EQ(newact({"", "Name", "Base"}), 0);
  ASSERT_EQ(getnact("Main", 1), 1);  // the ACT list and the repository handle are in place
  const uint64_t before = blocks();
  for (uint64_t k = 1; k <= 12; ++k) {
    current_->pool().failAllocationAt(k);
    const double made = newact({"", "Name", "T" + std::to_string(k), "Owner", "Ann"});
    current_->pool().failAllocationAt(0);
    EXPECT_TRUE(made == 0 || made == exact(kStatusNoMemory) || made == -99) << k;
    EXPECT_EQ(blocks(), before) << k;
    current_->pool().failAllocationAt(k);
    const double deleted = delact("T" + std::to_string(k));
    const double applied = apply("METASEC_APPLYACT", "", "Base");
    const double listed = getnacta("Base", 1);
    const double found = getacta("Base", "Name");
    current_->pool().failAllocationAt(0);
    (void)deleted, (void)applied, (void)listed, (void)found;
    apply("METASEC_REMACT", "", "Base");
    EXPECT_EQ(blocks(), before) << k;
  }
  EXPECT_EQ(invalidReleases(), 0u);
}

// Rick may Administer TABLE001 exactly when SETAUTH as Rick on it goes through; the explanation
// for Rick says the same.
class TemplateEnforcementTest : public TemplateFunctionsTest {
 protected:
  bool enforced() {
    connectAs("rick", "rick-secret-2");
    const double result = setauth("Rick", "remove", "Read", "B0000001.TABLE001");
    connectAs("", "");
    EXPECT_TRUE(result == 0 || result == exact(mdserver::kStatusAdministerDenied)) << result;
    const mdserver::Authentication rick =
        mdserver::authenticate(repository_->security(), "rick", "rick-secret-2");
    mdserver::AccessExplanation why;
    EXPECT_TRUE(mdserver::explainAccess(*repository_, rick.principal, "B0000001.TABLE001",
                                        "Administer", "", why)
                    .ok());
    EXPECT_EQ(why.granted, result == 0) << (why.steps.empty() ? why.summary : why.steps[0].source);
    last_ = why;
    return result == 0;
  }
  mdserver::AccessExplanation last_;
};

TEST_F(TemplateEnforcementTest, GrantDenyOwnEntriesRemovalAndDeletion) {
  ASSERT_EQ(newact({"", "Name", "Stewards"}), 0);
  ASSERT_EQ(newact({"", "Name", "Blocked"}), 0);
  ASSERT_EQ(setauth("Rick", "G", "Administer", "Stewards"), 0);
  ASSERT_EQ(setauth("Rick", "D", "Administer", "Blocked"), 0);
  EXPECT_FALSE(enforced());
  ASSERT_EQ(apply("METASEC_APPLYACT", kTableUri, "Stewards"), 0);
  EXPECT_TRUE(enforced());
  ASSERT_EQ(last_.steps.size(), 1u);
  EXPECT_EQ(last_.steps[0].source, "B0000001.T0000001");
  EXPECT_EQ(last_.steps[0].role, "decided");
  // A deny from another template at the same level wins.
  ASSERT_EQ(apply("METASEC_APPLYACT", kTableUri, "Blocked"), 0);
  EXPECT_FALSE(enforced());
  EXPECT_EQ(last_.steps.size(), 2u);
  // The object's own grant wins over the templates.
  ASSERT_EQ(setauth("Rick", "G", "Administer", "B0000001.TABLE001"), 0);
  EXPECT_TRUE(enforced());
  EXPECT_EQ(last_.steps[0].source, "B0000001.TABLE001");
  EXPECT_EQ(last_.steps[1].role, "overridden");
  ASSERT_EQ(setauth("Rick", "remove", "Administer", "B0000001.TABLE001"), 0);
  EXPECT_FALSE(enforced());
  // Undone by removal, then by deletion.
  ASSERT_EQ(apply("METASEC_REMACT", kTableUri, "Blocked"), 0);
  EXPECT_TRUE(enforced());
  ASSERT_EQ(delact("Stewards"), 0);
  EXPECT_FALSE(enforced());
  // A template applied to the repository counts after the repository's own entries.
  ASSERT_EQ(setauth("Rick", "G", "Administer", "Blocked"), 0);
  ASSERT_EQ(apply("METASEC_APPLYACT", "", "Blocked"), 0);
  EXPECT_TRUE(enforced());
  EXPECT_EQ(last_.steps[0].level, "templates of the repository");
}

TEST_F(TemplateEnforcementTest, ListingShowsTemplateEntriesWithTheTemplateAsTextQ) {
  ASSERT_EQ(newact({"", "Name", "Stewards"}), 0);
  ASSERT_EQ(setauth("Rick", "G", "Administer", "Stewards"), 0);
  ASSERT_EQ(apply("METASEC_APPLYACT", kTableUri, "Stewards"), 0);
  CharacterVariable type(20), name(20), code(8), permission(20), source(40), id(20);
  bool seen = false;
  for (int n = 1; n < 30; ++n) {
    const double found =
        value("METASEC_GETNAUTH", {Arg::literal(""), Arg::literal(kTableUri), Arg::numeric(n),
                                   Arg::of(type), Arg::of(name), Arg::of(code), Arg::of(permission),
                                   Arg::of(source), Arg::numeric(0), Arg::of(id)});
    if (found < 0) break;
    if (source.trimmed() == "B0000001.T0000001") {
      seen = true;
      EXPECT_EQ(name.trimmed(), "Rick");
      EXPECT_EQ(code.trimmed(), "18");
    }
  }
  EXPECT_TRUE(seen);
}

}  // namespace
