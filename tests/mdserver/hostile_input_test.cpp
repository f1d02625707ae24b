// Object URIs and folder paths written by a careless or hostile caller: literals that look like
// SQL, NUL bytes, unterminated quotes, deep nesting and very long texts. Each either resolves as
// the literal it is or is refused with a malformed-URI status; none may crash, change stored
// data or answer with objects the text does not select.
#include "interface_fixture.h"

namespace mdserver::testing {
namespace {

using Ids = std::vector<std::string>;

class HostileInputTest : public InterfaceTest {
 protected:
  size_t objectCount() {
    std::vector<ObjectRow> rows;
    repository->resolve("vqsobj:Person?@Id != ''", 0, rows);
    return rows.size();
  }
};

TEST_F(HostileInputTest, SqlInLiteralsIsOnlyEverText) {
  const size_t before = objectCount();
  ASSERT_GT(before, 0u);
  const char* attempts[] = {
      "vqsobj:Person?@Name='x'' OR 1=1 --'",
      "vqsobj:Person?@Name=\"x' OR '1'='1\"",
      "vqsobj:Person?@Name='x''); DROP TABLE objects; --'",
      "vqsobj:Person?contains(@Title, ''' OR 1=1) --')",
      "vqsobj:Person\\A0000001.PERSON01' OR '1'='1",
      "vqsobj:Person?IdentityGroups/IdentityGroup[@Name='x'' OR ''a''=''a']",
  };
  for (const char* uri : attempts) {
    StatusCode status = 0;
    EXPECT_TRUE(resolveIds(uri, &status).empty()) << uri;
    EXPECT_EQ(status, kStatusNoMatch) << uri;
  }
  EXPECT_EQ(objectCount(), before);
  // A name that really contains a quote is reached through the doubled quote.
  EXPECT_EQ(resolveIds("vqsobj:Person?@Name='Chen O''Hara'"), Ids{"A0000001.PERSON03"});
  EXPECT_EQ(resolveIds("vqsobj:Person?@Name=\"Chen O'Hara\""), Ids{"A0000001.PERSON03"});
}

TEST_F(HostileInputTest, NamesThatAreNotNamesAreRefusedNotSpliced) {
  // Type, attribute and association names are tokens of the language, never SQL.
  const char* uris[] = {
      "vqsobj:Person;DELETE FROM objects?@Name='x'",
      "vqsobj:Person?@Name)--='x'",
      "vqsobj:Person?Identity Groups/IdentityGroup",
  };
  for (const char* uri : uris) {
    StatusCode status = 0;
    EXPECT_TRUE(resolveIds(uri, &status).empty()) << uri;
    EXPECT_EQ(status, kStatusMalformedUri) << uri;
  }
}

TEST_F(HostileInputTest, NulBytesAreCharactersOfTheText) {
  // A NUL inside a literal is compared as a character; it does not cut the literal short.
  // PostgreSQL text cannot hold one: there the query is refused rather than answered for the
  // text before the NUL.
  std::string uri = "vqsobj:Person?@Name='Ada Field";
  uri.push_back('\0');
  uri += "'";
  StatusCode status = 0;
  EXPECT_TRUE(resolveIds(uri, &status).empty());
  EXPECT_EQ(status, postgresPass() ? kStatusStorageFailure : kStatusNoMatch);
  // Outside a literal it is a character the language does not know.
  std::string outside = "vqsobj:Person?@Name='Ada Field'";
  outside.push_back('\0');
  EXPECT_TRUE(resolveIds(outside, &status).empty());
  EXPECT_EQ(status, kStatusMalformedUri);
  // An identifier with a NUL after it is not the identifier.
  std::string id = "vqsobj:Person\\A0000001.PERSON01";
  id.push_back('\0');
  EXPECT_TRUE(resolveIds(id, &status).empty());
  EXPECT_NE(status, kStatusOk);
}

TEST_F(HostileInputTest, DeepNestingIsRefusedWithThePosition) {
  struct Shape {
    const char* open;
    const char* close;
  };
  const Shape shapes[] = {
      {"(", ")"},
      {"not(not(", "))"},
      {"IdentityGroups/IdentityGroup[MemberIdentities/Person[", "]]"},
      {"(not(IdentityGroups/IdentityGroup[(MemberIdentities/Person[", "])]))"},
  };
  for (const Shape& shape : shapes) {
    // Far too deep: refused by the compiler, not by a crash.
    std::string uri = "vqsobj:Person?";
    for (int i = 0; i < 100000; ++i) uri += shape.open;
    StatusCode status = 0;
    EXPECT_TRUE(resolveIds(uri, &status).empty()) << shape.open;
    EXPECT_EQ(status, kStatusMalformedUri) << shape.open;
    EXPECT_NE(lastErrorText(md).find("nesting"), std::string::npos) << lastErrorText(md);
    // The deepest text the compiler accepts also runs: SQLite's own limits are never reached.
    int accepted = -1;
    for (int depth = 1; depth < 200; ++depth) {
      std::string text = "vqsobj:Person?";
      for (int i = 0; i < depth; ++i) text += shape.open;
      text += "@Name='Ada Field'";
      for (int i = 0; i < depth; ++i) text += shape.close;
      resolveIds(text, &status);
      if (status == kStatusMalformedUri) break;
      EXPECT_TRUE(status == kStatusOk || status == kStatusNoMatch)
          << shape.open << " x" << depth << ": " << lastErrorText(md);
      accepted = depth;
    }
    EXPECT_GE(accepted, 2) << shape.open;
  }
  // Thirty parentheses are an ordinary text.
  std::string parens = "vqsobj:Person?";
  for (int i = 0; i < 30; ++i) parens += "(";
  parens += "@Name='Ada Field'";
  for (int i = 0; i < 30; ++i) parens += ")";
  EXPECT_EQ(resolveIds(parens), Ids{"A0000001.PERSON01"}) << lastErrorText(md);
}

TEST_F(HostileInputTest, LongAssociationPaths) {
  // Person -> group -> member person -> group ... 24 steps, each with a condition, is one
  // sub-query however long; one step more is refused.
  std::string path = "vqsobj:Person?";
  for (int i = 0; i < 12; ++i) {
    path += "IdentityGroups/IdentityGroup[@Name='Administrators']/";
    path += "MemberIdentities/Person[@Name!='nobody']" + std::string(i < 11 ? "/" : "");
  }
  EXPECT_EQ(resolveIds(path), (Ids{"A0000001.PERSON01", "A0000001.PERSON03"}))
      << lastErrorText(md);
  StatusCode status = 0;
  resolveIds(path + "/IdentityGroups/IdentityGroup", &status);
  EXPECT_EQ(status, kStatusMalformedUri);
  EXPECT_NE(lastErrorText(md).find("steps"), std::string::npos) << lastErrorText(md);
}

TEST_F(HostileInputTest, LongTextsAndManyConditions) {
  // A literal of a megabyte, and a thousand conditions joined by "or".
  std::string big = "vqsobj:Person?@Name='" + std::string(1 << 20, 'x') + "'";
  StatusCode status = 0;
  EXPECT_TRUE(resolveIds(big, &status).empty());
  EXPECT_EQ(status, kStatusNoMatch);
  std::string many = "vqsobj:Person?@Name='Ada Field'";
  for (int i = 0; i < 1000; ++i) many += " or @Name='n" + std::to_string(i) + "'";
  EXPECT_EQ(resolveIds(many, &status), Ids{"A0000001.PERSON01"}) << lastErrorText(md);
  // Past the limit of comparisons and steps, whether they are comparisons or association
  // steps, the text is refused by the compiler rather than by SQLite.
  for (const char* term :
       {" or @Name='n'", " or IdentityGroups/IdentityGroup/MemberIdentities/Person"}) {
    std::string huge = "vqsobj:Person?@Name='Ada Field'";
    for (int i = 0; i < 9000; ++i) huge += term;
    EXPECT_TRUE(resolveIds(huge, &status).empty());
    EXPECT_EQ(status, kStatusMalformedUri) << term;
    EXPECT_NE(lastErrorText(md).find("at most 8000"), std::string::npos) << lastErrorText(md);
  }
  // An unterminated literal at the end of a long text names where it opened.
  std::string open = "vqsobj:Person?@Name='" + std::string(5000, 'y');
  EXPECT_TRUE(resolveIds(open, &status).empty());
  EXPECT_EQ(status, kStatusMalformedUri);
  EXPECT_EQ(lastErrorText(md),
            "malformed object URI at position 21: expected a closing ' for this literal");
}

TEST_F(HostileInputTest, ManyDistinctQueriesBetweenWrites) {
  // Every distinct query text is compiled to its own statement; a long run of them between
  // writes must neither lose a write nor disturb a statement still in use.
  std::string created;
  ObjectDraft draft{"A0000001", "Person", "", "Runner", "", {{"Title", "T"}}};
  for (int i = 0; i < 1400; ++i) {
    std::vector<ObjectRow> rows;
    repository->resolve("vqsobj:Person?@Title='t" + std::to_string(i) + "'", 0, rows);
    if (i % 97 == 0 || (i > 500 && i < 530)) {
      ASSERT_TRUE(repository->createObject(draft, &created).ok()) << i;
      std::string propertyId;
      ASSERT_TRUE(repository->addProperty(created, "P", "v", "", &propertyId).ok()) << i;
      ASSERT_TRUE(repository->setAttribute(created, "Office", std::to_string(i)).ok()) << i;
    }
  }
  std::optional<std::string> office;
  ASSERT_TRUE(repository->attribute(created, "Office", office).ok());
  EXPECT_EQ(office, "1358");
}

TEST_F(HostileInputTest, FolderPathsWithOddSteps) {
  const char* paths[] = {"", "Shared Data", "//", "/Shared Data//x", "/Shared Data/"};
  for (const char* path : paths) {
    std::vector<ObjectRow> rows;
    EXPECT_EQ(repository->findByPath("", path, "", rows).status, kStatusMalformedPath) << path;
  }
  std::vector<ObjectRow> rows;
  EXPECT_TRUE(repository->findByPath("", "/Shared Data/' OR 1=1 --", "", rows).ok());
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(repository->findByPath("x' OR '1'='1", "/Shared Data", "", rows).status,
            kStatusUnknownRepository);
}

}  // namespace
}  // namespace mdserver::testing
