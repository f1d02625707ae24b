// METASEC_GETNID, METASEC_SETAUTH and METASEC_LDUMP through the reference host against a
// repository with security: their tables of values, the argument-count rules, grant codes, the
// login listing's lines and mask, and allocation faults at every request.
#include <cmath>
#include <limits>

#include "mdserver/security/security_store.h"
#include "secured_fixture.h"

namespace {

using refhost::CharacterVariable;
using testing_support::SecuredFixture;

class IdentityFunctionsTest : public SecuredFixture {
 protected:
  double getnid(const std::string& repository, double n, CharacterVariable& t2,
                CharacterVariable& t1, std::vector<Arg> more = {}) {
    std::vector<Arg> args{Arg::literal(""), Arg::literal(repository), Arg::numeric(n), Arg::of(t2),
                          Arg::of(t1)};
    args.insert(args.end(), more.begin(), more.end());
    return value("METASEC_GETNID", args);
  }
  double setauth(const std::string& transaction, const std::string& repository,
                 const std::string& type, const std::string& name, const std::string& grant,
                 const std::string& permission, const std::string& target) {
    return value("METASEC_SETAUTH",
                 {Arg::literal(transaction), Arg::literal(repository), Arg::literal(type),
                  Arg::literal(name), Arg::literal(grant), Arg::literal(permission),
                  Arg::literal(target)});
  }
  double ldump(const std::string& domain, const std::string& prefix, double option,
               const std::string& f1 = "", const std::string& f2 = "", const std::string& f3 = "") {
    return value("METASEC_LDUMP", {Arg::literal(domain), Arg::literal(prefix), Arg::numeric(option),
                                   Arg::literal(f1), Arg::literal(f2), Arg::literal(f3)});
  }
  // The explicit entries on a target, as "identity permission grant|deny".
  std::vector<std::string> entriesOn(const std::string& target) {
    std::vector<mdserver::AccessEntry> entries;
    EXPECT_TRUE(repository_->security().entries(target, entries).ok());
    std::vector<std::string> out;
    for (const auto& e : entries) {
      out.push_back(e.identityId + " " + e.permission + " " + (e.grant ? "grant" : "deny"));
    }
    return out;
  }
  std::vector<std::string> logSince(size_t first) {
    std::vector<std::string> texts = host_->logTexts();
    return std::vector<std::string>(texts.begin() + static_cast<long>(std::min(first, texts.size())),
                                    texts.end());
  }
};

TEST_F(IdentityFunctionsTest, GetnidListsBuiltInsThenIdentitiesAndTakesFlagsOnlyFromSixArguments) {
  CharacterVariable t2(20), t1(20), t3(20), t4(40);
  EXPECT_EQ(getnid("Main", 1, t2, t1), 1);
  EXPECT_EQ(t1.value(), "Everybody           ");  // full capacity
  EXPECT_EQ(t2.trimmed(), "BuiltInGroup");
  EXPECT_EQ(getnid("Main", 3, t2, t1, {Arg::numeric(0), Arg::of(t3), Arg::of(t4)}), 3);
  EXPECT_EQ(t1.trimmed(), "Admins");
  EXPECT_EQ(t3.trimmed(), "B0000001.GROUP001");
  // Six arguments: flags 1 lists people only.
  EXPECT_EQ(getnid("Main", 1, t2, t1, {Arg::numeric(1)}), 1);
  EXPECT_EQ(t1.trimmed(), "Ann");
  // Seven arguments: argument 6 holds 1, yet flags 0 reach the server (Everybody comes first).
  EXPECT_EQ(getnid("Main", 1, t2, t1, {Arg::numeric(1), Arg::of(t3)}), 1);
  EXPECT_EQ(t1.trimmed(), "Everybody");
  EXPECT_EQ(t3.trimmed(), "BUILTIN0.EVERYBDY");
  // Identities belong to the repository of the route; built-ins are in every repository.
  EXPECT_EQ(getnid("Side", 3, t2, t1), -5);
  EXPECT_EQ(getnid("Main", 0, t2, t1), -5);
  EXPECT_EQ(getnid("Main", std::numeric_limits<double>::quiet_NaN(), t2, t1), -4);
  EXPECT_EQ(getnid("Nowhere", 1, t2, t1), -2);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusMalformedUri));
  // A blank repository name is resolved too (and is no repository).
  EXPECT_EQ(getnid("", 1, t2, t1), -2);
  // Through an ordinary object: its repository's identities.
  EXPECT_EQ(getnid("vqsobj:PhysicalTable\\B0000001.TABLE001", 4, t2, t1), 4);
  EXPECT_EQ(t1.trimmed(), "Inner");
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(IdentityFunctionsTest, SetauthGrantCodesFromTheFirstLetter) {
  struct Case {
    const char* grant;
    const char* expected;  // the entry afterwards, empty: none
  } cases[] = {{"g", "B0000001.PERSON02 Write grant"}, {"Grant", "B0000001.PERSON02 Write grant"},
               {"d", "B0000001.PERSON02 Write deny"},  {"DENY", "B0000001.PERSON02 Write deny"},
               {"", ""}, {"x", ""}, {"G", "B0000001.PERSON02 Write grant"}, {"remove", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(setauth("", "", "Person", "Rick", c.grant, "write", "B0000001.TABLE001"), 0)
        << c.grant << " " << sysmsg();
    std::vector<std::string> entries = entriesOn("B0000001.TABLE001");
    if (*c.expected == 0) {
      EXPECT_TRUE(entries.empty()) << c.grant;
    } else {
      EXPECT_EQ(entries, std::vector<std::string>{c.expected}) << c.grant;
    }
  }
}

TEST_F(IdentityFunctionsTest, SetauthRefusalsHaveTheirOwnStatusAndChangeNothing) {
  const auto before = entriesOn("B0000001");
  EXPECT_EQ(setauth("", "", "", "Nobody", "G", "Read", ""), exact(mdserver::kStatusUnknownIdentity));
  EXPECT_EQ(sysrc(), "0");  // the status goes to the host's report only
  EXPECT_EQ(setauth("", "", "Role", "Rick", "G", "Read", ""),
            exact(mdserver::kStatusUnknownIdentity));  // Rick is no role
  EXPECT_EQ(setauth("", "", "", "Rick", "G", "Fly", ""), exact(mdserver::kStatusUnknownPermission));
  EXPECT_EQ(setauth("", "Nowhere", "", "Rick", "G", "Read", ""), -3);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusMalformedUri));
  EXPECT_EQ(setauth("T9.B0000001", "", "", "Rick", "G", "Read", ""),
            exact(mdserver::kStatusUnknownTransaction));
  // Without Administer: refused, whatever the request.
  connectAs("rick", "rick-secret-2");
  EXPECT_EQ(setauth("", "", "", "Rick", "G", "Write", ""),
            exact(mdserver::kStatusAdministerDenied));
  EXPECT_EQ(entriesOn("B0000001"), before);
  // An administrator by group membership may.
  connectAs("ann", "ann-secret-1");
  EXPECT_EQ(setauth("", "Main", "", "Rick", "D", "Write", "vqsobj:PhysicalTable\\B0000001.TABLE001"), 0);
  EXPECT_EQ(entriesOn("B0000001.TABLE001"),
            std::vector<std::string>{"B0000001.PERSON02 Write deny"});
}

TEST_F(IdentityFunctionsTest, LdumpWritesAHeaderAndOneMaskedLinePerLogin) {
  size_t first = host_->logTexts().size();
  EXPECT_EQ(ldump("Main", "", 0), 0);
  std::vector<std::string> lines = logSince(first);
  ASSERT_EQ(lines.size(), 3u);  // people only: the group's login needs flag 1
  EXPECT_EQ(lines[0], "UserId,Password,ObjectId,OwnerName,OwnerType,OwnerId");
  EXPECT_EQ(lines[1], "ann, ********,B0000001.LOGIN001,Ann,Person,B0000001.PERSON01");
  EXPECT_EQ(lines[2], "rick, ********,B0000001.LOGIN002,Rick,Person,B0000001.PERSON02");

  first = host_->logTexts().size();
  EXPECT_EQ(ldump("", "a", 0, "yes", "No", ""), 0);  // group logins in, prefix on user ids
  lines = logSince(first);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].substr(0, 5), "admin");
  EXPECT_EQ(lines[2].substr(0, 4), "ann,");
  first = host_->logTexts().size();
  EXPECT_EQ(ldump("", "", 1), 0);  // at most one
  EXPECT_EQ(logSince(first).size(), 2u);

  // An empty list returns 0 and writes nothing.
  first = host_->logTexts().size();
  EXPECT_EQ(ldump("NoSuchDomain", "", 0), 0);
  EXPECT_TRUE(logSince(first).empty());

  // A reader sees its own login only; a failed listing gives -999.
  connectAs("rick", "rick-secret-2");
  first = host_->logTexts().size();
  EXPECT_EQ(ldump("", "", 0, "y"), 0);
  EXPECT_EQ(logSince(first).size(), 2u);
  ASSERT_NE(current_, nullptr);
  current_->injectFault("listLogins", {mdserver::kStatusStorageFailure});
  EXPECT_EQ(ldump("", "", 0), -999);
  EXPECT_EQ(sysrc(), "0");
}

TEST_F(IdentityFunctionsTest, LdumpWithoutAnInterfaceReturnsMinusOne) {
  noInterface_ = true;
  connectAs("", "");
  EXPECT_EQ(ldump("", "", 0), -1);
  CharacterVariable t2(20), t1(20);
  EXPECT_EQ(getnid("Main", 1, t2, t1), -1);
  EXPECT_EQ(setauth("", "", "", "Rick", "G", "Read", ""), -1);
}

TEST_F(IdentityFunctionsTest, AWrongPasswordFailsEveryFunctionWithAClearStatus) {
  connectAs("rick", "not-the-password");
  CharacterVariable t2(20), t1(20);
  EXPECT_EQ(getnid("Main", 1, t2, t1), -1);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusLoginFailed));
  EXPECT_EQ(sysmsg(), refhost::ReferenceHost::messageText(mdserver::kStatusLoginFailed));
  connectAs("nobody", "x");
  EXPECT_EQ(getnid("Main", 1, t2, t1), -1);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusLoginFailed));
}

TEST_F(IdentityFunctionsTest, PoolCountsBalanceUnderAllocationFaultsAtEveryRequest) {
  CharacterVariable t2(20), t1(20);
  ASSERT_EQ(getnid("Main", 1, t2, t1), 1);  // connection and the repository handle are cached
  ASSERT_NE(current_, nullptr);
  for (uint64_t k = 1; k <= 40; ++k) {
    const uint64_t before = blocks();
    current_->pool().failAllocationAt(k);
    const double rc = ldump("", "", 0, "y");
    current_->pool().failAllocationAt(0);
    EXPECT_TRUE(rc == 0 || rc == -999) << k;
    EXPECT_EQ(blocks(), before) << "LDUMP, fault at " << k;

    current_->pool().failAllocationAt(k);
    const double set = setauth("", "", "", "Rick", "G", "Write", "B0000001.TABLE001");
    current_->pool().failAllocationAt(0);
    EXPECT_TRUE(set == 0 || set == exact(kStatusNoMemory)) << k;
    EXPECT_EQ(blocks(), before) << "SETAUTH, fault at " << k;

    current_->pool().failAllocationAt(k);
    const double nid = getnid("Main", 2, t2, t1);
    current_->pool().failAllocationAt(0);
    EXPECT_TRUE(nid == 2 || nid == -3) << k;
  }
  EXPECT_EQ(invalidReleases(), 0u);
  host_->endSession(session_);
  session_ = nullptr;
  EXPECT_EQ(leftAtRelease_, 0u);  // the identity list went with its repository handle
  session_ = host_->newSession(nullptr, "DOSUB");
}

}  // namespace
