// The columns of the template functions' failure table that the everyday cases do not reach:
// no interface, a server that refuses (each function's own value, SYSRC, and for METASEC_GETNACT
// the host's status report), the interface pool out of memory for the reference copy, and an
// attribute list that is empty. The pool balances after each.
#include "mdserver/security/security_store.h"
#include "secured_fixture.h"

namespace {

using refhost::CharacterVariable;
using testing_support::SecuredFixture;

constexpr char kTableUri[] = "vqsobj:PhysicalTable\\B0000001.TABLE001";
constexpr StatusCode kRefused = mdserver::kStatusStorageFailure;

class TemplateFailuresTest : public SecuredFixture {
 protected:
  double call(const char* name, std::vector<std::string> texts, std::vector<Arg> more = {}) {
    std::vector<Arg> args;
    for (const std::string& t : texts) args.push_back(Arg::literal(t));
    args.insert(args.end(), more.begin(), more.end());
    return value(name, args);
  }
  double getnact(const std::string& repository) {
    return call("METASEC_GETNACT", {"", repository},
                {Arg::numeric(1), Arg::of(t1_), Arg::of(t2_), Arg::of(t3_)});
  }
  double getnacta(const std::string& reference) {
    return call("METASEC_GETNACTA", {"", reference}, {Arg::numeric(1), Arg::of(t1_), Arg::of(t2_)});
  }
  double getacta(const std::string& reference) {
    return call("METASEC_GETACTA", {"", reference, "Name"}, {Arg::of(t2_)});
  }
  CharacterVariable t1_{20}, t2_{30}, t3_{40};
};

TEST_F(TemplateFailuresTest, WithoutAnInterfaceEveryFunctionGivesMinusOne) {
  connectAs("rick", "not-the-password");
  const std::vector<std::pair<const char*, double>> results = {
      {"METASEC_GETNACT", getnact("Main")},
      {"METASEC_NEWACT", call("METASEC_NEWACT", {"", "", "Name", "X"})},
      {"METASEC_DELACT", call("METASEC_DELACT", {"", "X"})},
      {"METASEC_APPLYACT", call("METASEC_APPLYACT", {"", "", "X"})},
      {"METASEC_REMACT", call("METASEC_REMACT", {"", kTableUri, "X"})},
      {"METASEC_GETNACTA", getnacta("X")},
      {"METASEC_GETACTA", getacta("X")},
      {"METASEC_SETACTA", call("METASEC_SETACTA", {"", "X", "Owner", "Ann"})}};
  for (const auto& [name, result] : results) EXPECT_EQ(result, -1) << name;
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusLoginFailed));
}

TEST_F(TemplateFailuresTest, AServerRefusalGivesEachFunctionsOwnValue) {
  ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Base"}), 0);
  ASSERT_EQ(call("METASEC_APPLYACT", {"", "", "Base"}), 0);
  ASSERT_EQ(getnact("Main"), 1);  // the repository handle is cached, the ACT list in place
  // The table's resolution is cached too (REMACT resolves it, then finds nothing to remove).
  ASSERT_EQ(call("METASEC_REMACT", {"", kTableUri, "Base"}),
            exact(mdserver::kStatusTemplateNotApplied));
  const uint64_t before = blocks();
  const double code = exact(kRefused);
  struct Case {
    const char* operation;
    std::function<double()> run;
    double expected;
  };
  const Case cases[] = {
      {"repoListActs", [&] { return getnact("Main"); }, -2},
      {"listActsById", [&] { return getnact("REPOSID:B0000001"); }, -2},
      {"newAct", [&] { return call("METASEC_NEWACT", {"", "", "Name", "Other"}); }, -99},
      {"deleteAct", [&] { return call("METASEC_DELACT", {"", "Base"}); }, -2},
      {"applyAct", [&] { return call("METASEC_APPLYACT", {"", "", "Base"}); }, code},
      {"repoApplyAct", [&] { return call("METASEC_APPLYACT", {"", kTableUri, "Base"}); }, code},
      {"removeAct", [&] { return call("METASEC_REMACT", {"", "", "Base"}); }, code},
      {"repoRemoveAct", [&] { return call("METASEC_REMACT", {"", "Main", "Base"}); }, code},
      {"listActAttributes", [&] { return getnacta("Base"); }, -99},
      {"listActAttributes", [&] { return getacta("Base"); }, -99},
      {"setActAttribute", [&] { return call("METASEC_SETACTA", {"", "Base", "Owner", "Ann"}); },
       code},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(current_->injectFault(c.operation, {kRefused, mdserver::FaultMode::kOnce, false}))
        << c.operation;
    const size_t logged = host_->logTexts().size();
    EXPECT_EQ(c.run(), c.expected) << c.operation;
    EXPECT_EQ(sysrc(), sysrcOf(kRefused)) << c.operation;
    EXPECT_EQ(blocks(), before) << c.operation;
    if (std::string_view(c.operation).find("List") != std::string_view::npos ||
        std::string_view(c.operation) == "listActsById") {
      // The listing's refusal is also reported to the host (a line in its log).
      EXPECT_GT(host_->logTexts().size(), logged) << c.operation;
    }
  }
  // Nothing the refused calls would have done was done.
  std::vector<std::string> applied;
  ASSERT_TRUE(repository_->security().applications("B0000001", applied).ok());
  EXPECT_EQ(applied, std::vector<std::string>{"B0000001.T0000001"});
  EXPECT_EQ(getnact("Main"), 1);
  EXPECT_EQ(t2_.trimmed(), "Base");
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(TemplateFailuresTest, NoMemoryForTheReferenceCopyIsItsOwnValue) {
  ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Base"}), 0);
  const double noMemory = exact(kStatusNoMemory);
  const uint64_t before = blocks();
  const std::vector<std::pair<const char*, std::function<double()>>> cases = {
      {"METASEC_DELACT", [&] { return call("METASEC_DELACT", {"", "Base"}); }},
      {"METASEC_APPLYACT", [&] { return call("METASEC_APPLYACT", {"", "", "Base"}); }},
      {"METASEC_REMACT", [&] { return call("METASEC_REMACT", {"", "", "Base"}); }},
      {"METASEC_NEWACT", [&] { return call("METASEC_NEWACT", {"", "", "Name", "Other"}); }}};
  for (const auto& [name, run] : cases) {
    current_->pool().failAllocationAt(1);
    EXPECT_EQ(run(), noMemory) << name;
    current_->pool().failAllocationAt(0);
    EXPECT_EQ(sysrc(), sysrcOf(kStatusNoMemory)) << name;
    EXPECT_EQ(blocks(), before) << name;
  }
  // Nothing was sent: the template is still there, applied nowhere, and alone.
  std::vector<std::string> applied;
  ASSERT_TRUE(repository_->security().applications("B0000001", applied).ok());
  EXPECT_TRUE(applied.empty());
  EXPECT_EQ(getnact("Main"), 1);
  EXPECT_EQ(call("METASEC_GETNACT", {"", "Main"},
                 {Arg::numeric(2), Arg::of(t1_), Arg::of(t2_), Arg::of(t3_)}),
            -5);
}

TEST_F(TemplateFailuresTest, ATemplateWithoutAttributesListsNone) {
  // A bare template object made through the object functions has no name and no description
  // (the first template put the type into the namespace).
  ASSERT_EQ(call("METASEC_NEWACT", {"", "", "Name", "Base"}), 0);
  CharacterVariable uri(60);
  ASSERT_EQ(value("METADATA_NEWOBJ", {Arg::literal("AccessControlTemplate"), Arg::of(uri)}), 0)
      << sysmsg() << " " << current_->lastErrorText();
  std::vector<mdserver::TemplateRecord> templates;
  ASSERT_TRUE(repository_->security().templates("B0000001", templates).ok());
  ASSERT_EQ(templates.size(), 2u);
  const std::string reference = templates[0].name().empty() ? templates[0].id : templates[1].id;
  EXPECT_NE(reference, "B0000001.T0000001");
  EXPECT_EQ(getnacta(reference), -99);
  EXPECT_EQ(sysrc(), "0");
  EXPECT_EQ(getacta(reference), -99);
  // Named now, it lists its name.
  ASSERT_EQ(call("METASEC_SETACTA", {"", reference, "Name", "Late"}), 0);
  EXPECT_EQ(getnacta(reference), 1);
  EXPECT_EQ(t2_.trimmed(), "Late");
  EXPECT_EQ(call("METASEC_GETNACTA", {"", reference}, {Arg::numeric(2), Arg::of(t1_), Arg::of(t2_)}),
            -5);
}

}  // namespace
