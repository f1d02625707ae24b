// mdhost access tried by a user who wants to learn about objects it may not read: the hidden
// object's answer must be the one for no object, query conditions on it must not tell true from
// false, and another identity's access is not explained to a user who does not administer the
// target.
#include <gtest/gtest.h>

#include <string>

#include "tests/runner/mdhost_process.h"

namespace {

using mdhost_test::runMdhost;
using mdhost_test::Transcript;
namespace fs = std::filesystem;

const fs::path kSample = fs::path(RUX_SOURCE_DIR) / "examples" / "sample_repository.json";

Transcript accessAs(const std::string& user, const std::string& password,
                    const std::vector<std::string>& question) {
  std::vector<std::string> arguments{"access", "--repository", kSample.string(), "--user", user,
                                     "--password", password};
  arguments.insert(arguments.end(), question.begin(), question.end());
  return runMdhost(arguments);
}

TEST(AttackVisibilityAccess, AHiddenObjectIsAnsweredAsNoObject) {
  // LEDGER (A0000001.TABLE003) is hidden from Bo; A0000001.TABLE999 does not exist.
  Transcript hidden = accessAs("bo", "bo.pass", {"A0000001.TABLE003", "Read"});
  Transcript missing = accessAs("bo", "bo.pass", {"A0000001.TABLE999", "Read"});
  EXPECT_EQ(hidden.status, missing.status);
  EXPECT_EQ(hidden.out, missing.out);
  EXPECT_EQ(hidden.err, "mdhost access: no object 'A0000001.TABLE003'\n");
  EXPECT_EQ(hidden.out.find("LEDGER"), std::string::npos) << hidden.out;
  EXPECT_EQ(hidden.out.find("GROUP001"), std::string::npos) << hidden.out;
}

TEST(AttackVisibilityAccess, AQueryOnAHiddenObjectIsNoOracle) {
  // The table's type is VIEW: a true and a false condition on it must answer alike.
  Transcript onTrue = accessAs(
      "bo", "bo.pass", {"vqsobj:PhysicalTable?@Id='A0000001.TABLE003' and @TableType='VIEW'", "Read"});
  Transcript onFalse = accessAs(
      "bo", "bo.pass", {"vqsobj:PhysicalTable?@Id='A0000001.TABLE003' and @TableType='DATA'", "Read"});
  EXPECT_EQ(onTrue.status, onFalse.status);
  EXPECT_EQ(onTrue.status, 2);
  EXPECT_EQ(onTrue.out, "");
  Transcript path = accessAs("bo", "bo.pass",
                             {"vqsobj:Tree?Members/PhysicalTable[@Name='LEDGER']", "Read"});
  EXPECT_EQ(path.status, 2) << path.out;
  EXPECT_EQ(path.out.find("Finance"), std::string::npos) << path.out;
}

TEST(AttackVisibilityAccess, AnotherIdentityNeedsAdministerOnTheTarget) {
  Transcript other = accessAs("bo", "bo.pass", {"--identity", "chen", "A0000001.TABLE001", "Read"});
  EXPECT_EQ(other.status, 2);
  EXPECT_EQ(other.out, "");
  EXPECT_NE(other.err.find("needs Administer"), std::string::npos) << other.err;
  // The refusal is the same for an identity that does not exist.
  Transcript nobody =
      accessAs("bo", "bo.pass", {"--identity", "no-such-identity", "A0000001.TABLE001", "Read"});
  EXPECT_EQ(nobody.err, other.err);
  // Chen administers FOUNDATION: he may ask about Bo, and sees the deny that hides LEDGER.
  Transcript admin =
      accessAs("chen", "chen.pass", {"--identity", "A0000001.PERSON02", "A0000001.TABLE003", "Read"});
  EXPECT_EQ(admin.status, 1) << admin.err;
  EXPECT_NE(admin.out.find("decided: deny of Read to Analysts"), std::string::npos) << admin.out;
}

}  // namespace
