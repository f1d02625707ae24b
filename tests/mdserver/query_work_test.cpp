// Texts whose cost lies in the work, not the length: association paths walked around cycles,
// long chains of brackets and nested "or"s. Each must finish in work bounded by the text and the
// repository, and every text the compiler accepts must be one SQLite can run.
#include "interface_fixture.h"

namespace mdserver::testing {
namespace {

using Ids = std::vector<std::string>;

// Six objects: three in a cycle where every node links to both others, three outside it.
constexpr const char* kCycleSeed = R"({
  "types": ["Node"],
  "repositories": [{"id": "C0000001", "name": "CYCLE"}],
  "objects": [
    {"repository": "C0000001", "type": "Node", "id": "C0000001.NODE0001", "name": "a",
     "associations": {"Next": ["C0000001.NODE0002", "C0000001.NODE0003"]}},
    {"repository": "C0000001", "type": "Node", "id": "C0000001.NODE0002", "name": "b",
     "associations": {"Next": ["C0000001.NODE0003", "C0000001.NODE0001"]}},
    {"repository": "C0000001", "type": "Node", "id": "C0000001.NODE0003", "name": "c",
     "associations": {"Next": ["C0000001.NODE0001", "C0000001.NODE0002"]}},
    {"repository": "C0000001", "type": "Node", "id": "C0000001.NODE0004", "name": "d"},
    {"repository": "C0000001", "type": "Node", "id": "C0000001.NODE0005", "name": "e",
     "associations": {"Next": ["C0000001.NODE0004"]}},
    {"repository": "C0000001", "type": "Node", "id": "C0000001.NODE0006", "name": "f"}]})";

class CycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_THROUGH_THE_WIRE("resolves on the repository itself, never through an interface");
    repository = openScratchRepository();
    ASSERT_TRUE(repository);
    Outcome outcome = repository->importSeedText(kCycleSeed, "<cycle>");
    ASSERT_TRUE(outcome.ok()) << outcome.message;
  }
  Ids resolveIds(const std::string& uri, Outcome* result = nullptr) {
    std::vector<ObjectRow> rows;
    Outcome outcome = repository->resolve(uri, 0, rows);
    if (result) *result = outcome;
    Ids ids;
    for (const ObjectRow& row : rows) ids.push_back(row.id);
    return ids;
  }
  static std::string walk(int steps, const std::string& last) {
    std::string path = "vqsobj:Node?";
    for (int i = 0; i < steps; ++i) path += std::string(i ? "/" : "") + "Next/Node";
    return path + last;
  }
  std::unique_ptr<Repository> repository;
};

TEST_F(CycleTest, LongPathsAroundACycleFinish) {
  // 2^24 distinct walks, none of which ends at an object with that name: the answer comes from
  // one reachable set per step, so the default work limit is far from reached.
  Outcome outcome;
  EXPECT_TRUE(resolveIds(walk(24, "[@Name='zzz']"), &outcome).empty());
  EXPECT_EQ(outcome.status, kStatusNoMatch) << outcome.message.substr(0, 99);
  EXPECT_EQ(resolveIds(walk(24, "[@Name='a']")),
            (Ids{"C0000001.NODE0001", "C0000001.NODE0002", "C0000001.NODE0003"}));
  // A hundred of them joined by "or".
  std::string many = walk(24, "[@Name='zzz']");
  for (int i = 0; i < 99; ++i) {
    many += " or " + walk(24, "[@Name='z" + std::to_string(i) + "']").substr(12);
  }
  EXPECT_TRUE(resolveIds(many, &outcome).empty());
  EXPECT_EQ(outcome.status, kStatusNoMatch) << outcome.message.substr(0, 99);
  // Paths nested in one another's brackets, each around the cycle.
  std::string nested = "vqsobj:Node?Next/Node[Next/Node[Next/Node[Next/Node[@Name='d']]]]";
  EXPECT_TRUE(resolveIds(nested, &outcome).empty());
  // a and b lead to c, which leads to a and on to b.
  EXPECT_EQ(resolveIds("vqsobj:Node?Next/Node[Next/Node[@Name='a']]/Next/Node[@Name='b']"),
            (Ids{"C0000001.NODE0001", "C0000001.NODE0002"}));
  EXPECT_EQ(resolveIds("vqsobj:Node?Next/Node/Next/Node"),
            (Ids{"C0000001.NODE0001", "C0000001.NODE0002", "C0000001.NODE0003"}));
  EXPECT_EQ(resolveIds("vqsobj:Node?not(Next/Node)"),
            (Ids{"C0000001.NODE0004", "C0000001.NODE0006"}));
}

TEST_F(CycleTest, AQueryOverItsWorkLimitIsRefusedWithItsOwnStatus) {
  repository->setQueryWorkLimit(2000);
  std::string many = walk(24, "[@Name='zzz']");
  for (int i = 0; i < 99; ++i) many += " or " + walk(24, "[@Name='zzz']").substr(12);
  Outcome outcome;
  EXPECT_TRUE(resolveIds(many, &outcome).empty());
  EXPECT_EQ(outcome.status, kStatusQueryTooCostly);
  EXPECT_NE(outcome.message.find("more work"), std::string::npos) << outcome.message.substr(0, 99);
  // The limit belongs to one query: a small one after it runs as before, and so does a write.
  EXPECT_EQ(resolveIds("vqsobj:Node\\C0000001.NODE0004"), Ids{"C0000001.NODE0004"});
  EXPECT_TRUE(repository->setAttribute("C0000001.NODE0004", "Colour", "red").ok());
  repository->setQueryWorkLimit(Repository::kDefaultQueryWorkLimit);
  EXPECT_TRUE(resolveIds(many, &outcome).empty());
  EXPECT_EQ(outcome.status, kStatusNoMatch) << outcome.message.substr(0, 99);
}

TEST_F(CycleTest, AQueryWithoutPathsStoppedAtItsLimitLeavesNothingBehind) {
  // One statement and no association path: it runs without a savepoint of its own, so being
  // stopped must still end its read cleanly, return nothing, and let writes through afterwards.
  std::string uri = "vqsobj:Node?Node";
  for (int i = 0; i < 400; ++i) uri += "[contains(@Name, 'q" + std::to_string(i) + "') or @Id!='x']";
  repository->setQueryWorkLimit(300);
  Outcome outcome;
  EXPECT_TRUE(resolveIds(uri, &outcome).empty());
  EXPECT_EQ(outcome.status, kStatusQueryTooCostly) << outcome.message.substr(0, 99);
  EXPECT_TRUE(repository->setAttribute("C0000001.NODE0006", "Colour", "blue").ok());
  std::optional<std::string> colour;
  ASSERT_TRUE(repository->attribute("C0000001.NODE0006", "Colour", colour).ok());
  EXPECT_EQ(colour, "blue");
  repository->setQueryWorkLimit(Repository::kDefaultQueryWorkLimit);
  EXPECT_EQ(resolveIds(uri).size(), 6u);
  EXPECT_EQ(resolveIds("vqsobj:Node?@Name='f'"), Ids{"C0000001.NODE0006"});
}

// Either runs (a match or none) or is refused as malformed with a position; SQLite never
// refuses it.
void expectRunsOrIsMalformed(Repository& repository, const std::string& uri, const char* what) {
  std::vector<ObjectRow> rows;
  Outcome outcome = repository.resolve(uri, 0, rows);
  EXPECT_TRUE(outcome.status == kStatusOk || outcome.status == kStatusNoMatch ||
              outcome.status == kStatusMalformedUri)
      << what << ": " << outcome.message.substr(0, 300);
  if (outcome.status == kStatusMalformedUri) {
    EXPECT_NE(outcome.message.find("at position"), std::string::npos) << outcome.message;
  }
}

TEST_F(CycleTest, EveryAcceptedTextFitsSqlite) {
  // Brackets in a row: a thousand conditions that must all hold.
  for (int count : {10, 500, 997, 4000}) {
    std::string uri = "vqsobj:Node?Node";
    for (int i = 0; i < count; ++i) uri += "[@Name!='q" + std::to_string(i) + "']";
    std::vector<ObjectRow> rows;
    Outcome outcome = repository->resolve(uri, 0, rows);
    EXPECT_TRUE(outcome.ok()) << count << ": " << outcome.message.substr(0, 200);
    EXPECT_EQ(rows.size(), 6u) << count;
  }
  // Nested "or"s of several widths, as deep as the compiler lets them go and one deeper.
  for (int width : {1, 2, 4, 8, 33}) {
    for (int depth = 1; depth < 60; ++depth) {
      std::string uri = "vqsobj:Node?";
      for (int d = 0; d < depth; ++d) {
        uri += "(";
        for (int w = 1; w < width; ++w) uri += "@Name='x' or ";
      }
      uri += "@Name='a'";
      uri += std::string(depth, ')');
      expectRunsOrIsMalformed(*repository, uri, ("or width " + std::to_string(width)).c_str());
    }
  }
  // not(), brackets of paths and "and" chains mixed, deeper and deeper.
  const char* shapes[][2] = {{"not(", ")"},
                             {"Next/Node[", "]"},
                             {"@Name!='q' and (", ")"},
                             {"not(Next/Node[@Name='b' or ", "])"},
                             {"Next/Node[@Name='a']/Next/Node[(", ")]"}};
  for (const auto& shape : shapes) {
    for (int depth = 1; depth < 40; ++depth) {
      std::string uri = "vqsobj:Node?";
      for (int d = 0; d < depth; ++d) uri += shape[0];
      uri += "@Name='a'";
      for (int d = 0; d < depth; ++d) uri += shape[1];
      expectRunsOrIsMalformed(*repository, uri, shape[0]);
    }
  }
}

TEST_F(CycleTest, NestedOrsBeyondSqlitesLimitNameTheirPosition) {
  // 29 nested four-way "or"s reach SQLite's parser limit: refused by the compiler at the
  // position of the condition that went too deep.
  std::string uri = "vqsobj:Node?";
  for (int d = 0; d < 29; ++d) uri += "(@Name='x' or @Name='y' or @Name='z' or ";
  uri += "@Name='a'" + std::string(29, ')');
  Outcome outcome;
  resolveIds(uri, &outcome);
  ASSERT_EQ(outcome.status, kStatusMalformedUri) << outcome.message.substr(0, 200);
  EXPECT_NE(outcome.message.find("expected less nesting"), std::string::npos) << outcome.message;
  EXPECT_EQ(outcome.message.find("SELECT"), std::string::npos) << outcome.message;
}

}  // namespace
}  // namespace mdserver::testing
