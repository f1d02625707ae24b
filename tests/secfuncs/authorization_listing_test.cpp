// METASEC_GETNAUTH through the reference host: the route decision, both caches, the identity
// filter and its item lists, the views and codes the repository serves, transactions that stage
// changes, and allocation faults.
#include "mdserver/security/security_store.h"
#include "secured_fixture.h"

namespace {

using refhost::CharacterVariable;
using testing_support::SecuredFixture;

class AuthorizationListingTest : public SecuredFixture {
 protected:
  struct Outputs {
    CharacterVariable type{20}, name{30}, code{8}, permission{20}, source{40}, id{20};
  };
  double getnauth(const std::string& transaction, const std::string& reference, double n,
                  Outputs& out, const std::string& types = "", const std::string& names = "",
                  const std::string& permission = "", double flags = 0) {
    out.type.assign(types);
    out.name.assign(names);
    out.permission.assign(permission);
    return value("METASEC_GETNAUTH",
                 {Arg::literal(transaction), Arg::literal(reference), Arg::numeric(n),
                  Arg::of(out.type), Arg::of(out.name), Arg::of(out.code), Arg::of(out.permission),
                  Arg::of(out.source), Arg::numeric(flags), Arg::of(out.id)});
  }
  // Every entry of a listing as "name code permission source".
  std::vector<std::string> all(const std::string& transaction, const std::string& reference,
                               const std::string& types = "", const std::string& names = "",
                               const std::string& permission = "", double flags = 0) {
    std::vector<std::string> rows;
    Outputs out;
    for (int n = 1; n < 100; ++n) {
      if (getnauth(transaction, reference, n, out, types, names, permission, flags) != 0) break;
      std::string row = std::string(out.name.trimmed()) + " " + std::string(out.code.trimmed()) +
                        " " + std::string(out.permission.trimmed());
      if (!out.source.trimmed().empty()) row += " " + std::string(out.source.trimmed());
      rows.push_back(row);
    }
    return rows;
  }
};

TEST_F(AuthorizationListingTest, SameReferenceAsksOnceAnotherReplacesTheSlot) {
  Outputs out;
  const std::string table = "vqsobj:PhysicalTable/B0000001.TABLE003";
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(getnauth("", table, n, out), 0) << n;
  EXPECT_EQ(out.name.trimmed(), "Outer");
  EXPECT_EQ(out.code.trimmed(), "1");
  EXPECT_EQ(out.permission.trimmed(), "Delete");
  EXPECT_EQ(out.source.trimmed(), "");
  EXPECT_EQ(out.id.trimmed(), "B0000001.GROUP003");
  EXPECT_EQ(out.code.length(), out.code.capacity());  // full width
  EXPECT_EQ(calls("listAuthorizations"), 1u);
  // The next entries are the repository's, derived.
  EXPECT_EQ(getnauth("", table, 4, out), 0);
  EXPECT_EQ(out.code.trimmed(), "18");
  EXPECT_EQ(out.source.trimmed(), "vqsobj:Repository\\B0000001");
  EXPECT_EQ(getnauth("", table, 99, out), -5);
  EXPECT_EQ(calls("listAuthorizations"), 1u);
  // Another reference replaces the slot (its old list goes back); the first asks again.
  EXPECT_EQ(getnauth("", "vqsobj:PhysicalTable/B0000001.TABLE002", 1, out), 0);
  EXPECT_EQ(out.name.trimmed(), "Rick");
  EXPECT_EQ(calls("listAuthorizations"), 2u);
  EXPECT_EQ(getnauth("", table, 1, out), 0);
  EXPECT_EQ(calls("listAuthorizations"), 3u);
  EXPECT_EQ(calls("releaseAuthorizations"), 2u);
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(AuthorizationListingTest, AResolvedReferenceKeepsItsListInTheHandle) {
  const std::string table = "vqsobj:PhysicalTable/B0000001.TABLE003";
  CharacterVariable type(20), id(20);
  ASSERT_EQ(value("METADATA_RESOLVE", {Arg::literal(table), Arg::of(type), Arg::of(id)}), 1);
  Outputs out;
  EXPECT_EQ(getnauth("", table, 1, out), 0);
  EXPECT_EQ(getnauth("", "vqsobj:PhysicalTable/B0000001.TABLE002", 1, out), 0);
  EXPECT_EQ(getnauth("", table, 2, out), 0);  // from the handle: no new listing
  EXPECT_EQ(calls("listAuthorizations"), 2u);
  // Keyed by text alone: a permission asked for later does not select another list.
  EXPECT_EQ(getnauth("", table, 3, out, "", "", "Write"), 0);
  EXPECT_EQ(out.permission.trimmed(), "Delete");
  EXPECT_EQ(calls("listAuthorizations"), 2u);
}

TEST_F(AuthorizationListingTest, RouteDecisionByLengthSlashBackslashAndPrefix) {
  struct Case {
    std::string text;
    bool objectRoute;
    double result;
  } cases[] = {
      {"B0000001.TABLE001", false, -99},            // 17: a repository name (none such)
      {"/B0000001.TABLE001", true, 0},              // 18 with '/'
      {"\\B0000001.TABLE001", false, -99},          // 18 with a backslash: repository route
      {"xxxxxxx/B0000001.TABLE001", true, 0},       // 25
      {"xxxxxxxx\\B0000001.TABLE001", true, 0},     // 26 without the prefix: '.' and backslash
      {"vqsobj:x/B0000001.TABLE001", true, 0},      // 26 with the prefix and '/'
      {"vqsobj:x\\B0000001.TABLE001", false, -99},  // 26 with the prefix and a backslash
      {"vqsobj:PhysicalTable\\B0000001.TABLE001", false, 0},  // prefix and backslash: repository
      {"VQSOBJ:PhysicalTable/B0000001.TABLE001", true, 0},   // prefix and '/'
      {"Main", false, 0},
  };
  for (const Case& c : cases) {
    connectAs("", "");  // a fresh connection: empty caches, zero counts
    Outputs out;
    EXPECT_EQ(getnauth("", c.text, 1, out), c.result) << c.text;
    EXPECT_EQ(calls("listAuthorizations"), c.objectRoute ? 1u : 0u) << c.text;
    EXPECT_EQ(calls("repoListAuthorizations"), !c.objectRoute && c.result == 0 ? 1u : 0u) << c.text;
  }
}

TEST_F(AuthorizationListingTest, IdentityFilterItemListsAndUnequalCounts) {
  EXPECT_EQ(all("", "Main", "BuiltInGroup", "Everybody"),
            (std::vector<std::string>{"Everybody 2 Read"}));
  EXPECT_EQ(all("", "Main", ",", "Everybody, admins"),
            (std::vector<std::string>{"Everybody 2 Read", "Admins 2 Write", "Admins 2 Delete",
                                      "Admins 2 Administer"}));
  Outputs out;
  EXPECT_EQ(getnauth("", "Main", 1, out, "a,b", "x"), -2);  // unequal item counts
  // A quoted item with a comma is one item; it matches no name here.
  EXPECT_EQ(getnauth("", "Main", 1, out, "", "\"Everybody,Admins\""), -99);
  // A permission narrows the list.
  EXPECT_EQ(all("", "Main", "", "", "administer"),
            (std::vector<std::string>{"Admins 2 Administer"}));
}

TEST_F(AuthorizationListingTest, ViewsExplicitBearingAndEffective) {
  const std::string table = "B0000001.TABLE003";
  EXPECT_EQ(all("", "/" + table, "", "", "", 1),
            (std::vector<std::string>{"Editors 2 Write", "Inner 2 Delete", "Outer 1 Delete"}));
  // Another text of the same object (the caches are keyed by text): own three, then the
  // repository's four.
  EXPECT_EQ(all("", "x/" + table).size(), 7u);
  // Effective decisions for Wes (Inner, inside Outer, inside the role Editors).
  connectAs("", "");
  EXPECT_EQ(all("", "/" + table, "", "Wes", "", 2),
            (std::vector<std::string>{"Wes 34 Read vqsobj:Repository\\B0000001", "Wes 34 Write",
                                      "Wes 33 Delete", "Wes 32 Administer"}));
  // The same answers as enforcement: Wes may write the table and not delete it.
  connectAs("wes", "wes-secret-3");
  CharacterVariable type(20), id(20);
  ASSERT_EQ(value("METADATA_RESOLVE",
                  {Arg::literal("vqsobj:PhysicalTable\\" + table), Arg::of(type), Arg::of(id)}), 1);
  EXPECT_EQ(value("METADATA_DELOBJ", {Arg::literal("vqsobj:PhysicalTable\\" + table)}), -2);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusDeleteDenied));
}

TEST_F(AuthorizationListingTest, ChangesInATransactionAreSeenWithItsTextAndAppliedAtTheEnd) {
  CharacterVariable text(40);
  ASSERT_EQ(value("METASEC_BEGTRAN", {Arg::literal(""), Arg::numeric(0), Arg::of(text)}), 0);
  const std::string transaction(text.value());
  ASSERT_EQ(value("METASEC_SETAUTH",
                  {Arg::literal(transaction), Arg::literal("Side"), Arg::literal(""),
                   Arg::literal("Rick"), Arg::literal("G"), Arg::literal("Write"), Arg::literal("")}),
            0);
  EXPECT_EQ(all(transaction, "Side"), (std::vector<std::string>{"Rick 2 Write"}));
  EXPECT_TRUE(all("", "Side").empty());
  std::vector<mdserver::AccessEntry> stored;
  ASSERT_TRUE(repository_->security().entries("B0000002", stored).ok());
  EXPECT_TRUE(stored.empty());
  // Abandoned: nothing stays.
  ASSERT_EQ(value("METASEC_ENDTRAN", {Arg::literal(""), Arg::literal(transaction), Arg::numeric(2)}), 0);
  ASSERT_TRUE(repository_->security().entries("B0000002", stored).ok());
  EXPECT_TRUE(stored.empty());
  // The ended text is refused from now on.
  Outputs out;
  EXPECT_EQ(getnauth(transaction, "Side", 1, out), -99);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusUnknownTransaction));
  // Committed: applied.
  ASSERT_EQ(value("METASEC_BEGTRAN", {Arg::literal("Side"), Arg::numeric(0), Arg::of(text)}), 0);
  const std::string second(text.value());
  for (const char* who : {"Rick", "Wes"}) {
    ASSERT_EQ(value("METASEC_SETAUTH",
                    {Arg::literal(second), Arg::literal("Side"), Arg::literal("Person"),
                     Arg::literal(who), Arg::literal("d"), Arg::literal("Delete"), Arg::literal("")}),
              0);
  }
  ASSERT_EQ(value("METASEC_ENDTRAN", {Arg::literal("Side"), Arg::literal(second), Arg::numeric(0)}), 0);
  ASSERT_TRUE(repository_->security().entries("B0000002", stored).ok());
  EXPECT_EQ(stored.size(), 2u);
}

TEST_F(AuthorizationListingTest, ListsDeliveredWithAFailureAreGivenBack) {
  Outputs out;
  ASSERT_EQ(getnauth("", "Main", 1, out), 0);  // caches the repository handle
  ASSERT_NE(current_, nullptr);
  const uint64_t before = blocks();
  const mdserver::InjectedFault failingWithList{mdserver::kStatusStorageFailure,
                                                mdserver::FaultMode::kOnce, true};
  current_->injectFault("repoListAuthorizations", failingWithList);
  EXPECT_EQ(getnauth("", "Main", 1, out, "", "Everybody"), -99);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusStorageFailure));
  EXPECT_EQ(blocks(), before);
  current_->injectFault("listAuthorizations", failingWithList);
  EXPECT_EQ(getnauth("", "/B0000001.TABLE001", 1, out, "", "Rick"), -99);
  // Nothing stored: only the (empty) authorization slot record, made on first use, stays.
  EXPECT_EQ(blocks(), before + 1);
  current_->injectFault("listLogins", failingWithList);
  EXPECT_EQ(value("METASEC_LDUMP", {Arg::literal(""), Arg::literal(""), Arg::numeric(0),
                                    Arg::literal(""), Arg::literal(""), Arg::literal("")}),
            -999);
  EXPECT_EQ(blocks(), before + 1);
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(AuthorizationListingTest, PoolCountsBalanceUnderAllocationFaults) {
  Outputs out;
  ASSERT_EQ(getnauth("", "Main", 1, out), 0);  // caches the repository handle
  ASSERT_NE(current_, nullptr);
  for (uint64_t k = 1; k <= 60; ++k) {
    const uint64_t before = blocks();
    current_->pool().failAllocationAt(k);
    const double rc = getnauth("", "Main", 2, out, "BuiltInGroup,", "Everybody,Admins");
    current_->pool().failAllocationAt(0);
    EXPECT_TRUE(rc == 0 || rc == -2 || rc == -99) << k;
    EXPECT_EQ(blocks(), before) << "repository route, fault at " << k;
  }
  for (uint64_t k = 1; k <= 60; ++k) {
    current_->pool().failAllocationAt(k);
    const std::string reference = "/B0000001.TABLE00" + std::to_string(1 + k % 3);
    const double rc = getnauth("", reference, 1, out, "", "Rick");
    current_->pool().failAllocationAt(0);
    EXPECT_TRUE(rc == 0 || rc == -2 || rc == -99 || rc == -5) << k;
  }
  EXPECT_EQ(invalidReleases(), 0u);
}

}  // namespace
