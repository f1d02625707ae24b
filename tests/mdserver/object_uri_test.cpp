// The object URI and query language, end to end through resolveUri.
#include "interface_fixture.h"

namespace mdserver::testing {
namespace {

using Ids = std::vector<std::string>;

class ObjectUriTest : public InterfaceTest {};

TEST_F(ObjectUriTest, ObjectByTypeAndIdentifier) {
  EXPECT_EQ(resolveIds("vqsobj:Person\\A0000001.PERSON02"), Ids{"A0000001.PERSON02"});
  // Scheme and type without regard to case.
  EXPECT_EQ(resolveIds("VQSOBJ:person\\A0000001.PERSON02"), Ids{"A0000001.PERSON02"});
  // The identifier must be of that type; identifiers compare exactly.
  StatusCode status = 0;
  EXPECT_TRUE(resolveIds("vqsobj:Column\\A0000001.PERSON02", &status).empty());
  EXPECT_EQ(status, kStatusNoMatch);
  EXPECT_TRUE(resolveIds("vqsobj:Person\\a0000001.person02", &status).empty());
  EXPECT_EQ(status, kStatusNoMatch);
}

TEST_F(ObjectUriTest, ResolvedObjectCarriesItsTextsAsPoolBlocks) {
  MetadataObject* list = resolveOne("vqsobj:Column\\A0000001.COLUMN03");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->next, nullptr);
  EXPECT_EQ(text(list->type, list->typeLength), "Column");
  EXPECT_EQ(text(list->name, list->nameLength), "AMOUNT");
  EXPECT_EQ(text(list->description, list->descriptionLength), "Order amount in euro");
  EXPECT_EQ(list->identifierLength, 17);
  EXPECT_EQ(list->identifier[17], '\0');
  EXPECT_EQ(list->type[list->typeLength], '\0');  // terminated right after the length
  EXPECT_EQ(list->owner, md);
  EXPECT_EQ(list->operations, objectOperationTable(md));
  if (ci) {
    EXPECT_TRUE(ci->pool().owns(list) && ci->pool().owns(list->name));
  }
  freeObjectList(md, list);
}

using ObjectUriCompiler = ::mdserver::testing::RepositoryInternalsTest;

// Look-ups by name of the common shape take a short way past the full compiler; texts near that
// shape, accepted or refused, must compile exactly as the full compiler compiles them.
TEST_F(ObjectUriCompiler, TheShortWayForLookUpsByNameAgreesWithTheFullCompiler) {
  const std::vector<std::string> texts = {
      "vqsobj:Person?@Name='Ada Field'", "VQSOBJ:Person?@Name='x'", "vqsobj:Person?@Name=''",
      "vqsobj:Person?@Name='it''s'", "vqsobj:Person?@Name='a'b'", "vqsobj:Person?@Name='open",
      "vqsobj:Person?@Name='", "vqsobj:Person?@name='x'", "vqsobj:Person?@Name=\"x\"",
      "vqsobj:Person?@Name='x' ", "vqsobj: Person?@Name='x'", "vqsobj:Person ?@Name='x'",
      "vqsobj:Person?@Name='x' and @Id='y'", "vqsobj:Person?@Name=:'x'",
      "vqsobj:1Person?@Name='x'", "vqsobj:Per-son.2?@Name='x y\\z'", "vqsobj:?@Name='x'",
      "vqsob:Person?@Name='x'", "vqsobj:Person?@Name='x'\n", std::string("vqsobj:P?@Name='\0'", 18)};
  for (const std::string& text : texts) {
    CompiledUri shortWay, fullWay;
    UriError shortError, fullError;
    const bool accepted = compileObjectUri(text, shortWay, shortError);
    EXPECT_EQ(accepted, compileObjectUriFully(text, fullWay, fullError)) << text;
    EXPECT_EQ(shortWay.sql, fullWay.sql) << text;
    EXPECT_EQ(shortWay.parameters, fullWay.parameters) << text;
    EXPECT_EQ(shortWay.paths.size(), fullWay.paths.size()) << text;
    EXPECT_EQ(shortError.text(), fullError.text()) << text;
  }
  // The short way is taken where it should be: its parameters are the type and the value.
  CompiledUri compiled;
  UriError error;
  ASSERT_TRUE(compileObjectUri("vqsobj:Person?@Name='Ada Field'", compiled, error));
  EXPECT_EQ(compiled.parameters, (std::vector<std::string>{"Person", "Ada Field"}));
}

TEST_F(ObjectUriTest, ComparisonsAndCaseRules) {
  // = is exact, =: ignores case, != excludes, all in identifier order.
  EXPECT_EQ(resolveIds("vqsobj:Person?@Title='Analyst'"), Ids{"A0000001.PERSON02"});
  EXPECT_TRUE(resolveIds("vqsobj:Person?@Title='analyst'").empty());
  EXPECT_EQ(resolveIds("vqsobj:Person?@Title=:'ANALYST'"), Ids{"A0000001.PERSON02"});
  EXPECT_EQ(resolveIds("vqsobj:Person?@Title!='Analyst'"),
            (Ids{"A0000001.PERSON01", "A0000001.PERSON03", "A0000001.PERSON04"}));
  // Attribute names ignore case; @Name and @Id reach the object's own fields.
  EXPECT_EQ(resolveIds("vqsobj:Person?@TITLE='Analyst'"), Ids{"A0000001.PERSON02"});
  EXPECT_EQ(resolveIds("vqsobj:Person?@name='Ada Field'"), Ids{"A0000001.PERSON01"});
  EXPECT_EQ(resolveIds("vqsobj:Person?@Id='A0000001.PERSON03'"), Ids{"A0000001.PERSON03"});
  // A missing attribute satisfies no comparison, so != does not select LEDGER (no NumRows).
  EXPECT_EQ(resolveIds("vqsobj:PhysicalTable?@NumRows!='1'"),
            (Ids{"A0000001.TABLE001", "A0000001.TABLE002"}));
  EXPECT_EQ(resolveIds("vqsobj:PhysicalTable?not(@NumRows='1')"),
            (Ids{"A0000001.TABLE001", "A0000001.TABLE002", "A0000001.TABLE003",
                 "A0000002.TABLE001"}));
}

TEST_F(ObjectUriTest, ContainsNotAndOrAndParentheses) {
  EXPECT_EQ(resolveIds("vqsobj:Person?contains(@Email, 'lindqvist')"), Ids{"A0000001.PERSON02"});
  EXPECT_EQ(resolveIds("vqsobj:Person?not(contains(@Email,'example.org'))"), Ids{});
  // and binds tighter than or: Analyst or (Administrator and Ada) = PERSON02 only.
  EXPECT_EQ(resolveIds("vqsobj:Person?@Title='Analyst' or @Title='Administrator' and "
                       "@Name='Ada Field'"),
            Ids{"A0000001.PERSON02"});
  EXPECT_EQ(resolveIds("vqsobj:Person?(@Title='Analyst' or @Title='Administrator') and "
                       "@Name='Chen O''Hara'"),
            Ids{"A0000001.PERSON03"});
  EXPECT_EQ(resolveIds("vqsobj:Person?@Title='Steward' OR @Title='Analyst'"),
            (Ids{"A0000001.PERSON01", "A0000001.PERSON02"}));
}

TEST_F(ObjectUriTest, QuotingOfLiterals) {
  // Doubled quote inside either kind of quotes; the other quote is plain text.
  EXPECT_EQ(resolveIds("vqsobj:Person?@Name='Chen O''Hara'"), Ids{"A0000001.PERSON03"});
  EXPECT_EQ(resolveIds("vqsobj:Person?@Name=\"Chen O'Hara\""), Ids{"A0000001.PERSON03"});
  ASSERT_TRUE(repository->setAttribute("A0000001.PERSON02", "Nick", "the \"bold\" one").ok());
  EXPECT_EQ(resolveIds("vqsobj:Person?@Nick=\"the \"\"bold\"\" one\""), Ids{"A0000001.PERSON02"});
  // A literal that looks like syntax stays a literal.
  EXPECT_TRUE(resolveIds("vqsobj:Person?@Name='x'' or ''1''=''1'").empty());
}

TEST_F(ObjectUriTest, XPathFormWithSeveralConditions) {
  EXPECT_EQ(resolveIds("vqsobj:Column?Column[@ColumnType='N'][@ColumnLength='8']"),
            (Ids{"A0000001.COLUMN01", "A0000001.COLUMN02", "A0000001.COLUMN03",
                 "A0000001.COLUMN04"}));
  EXPECT_EQ(resolveIds("vqsobj:column?COLUMN[@Name='NAME']"), Ids{"A0000001.COLUMN05"});
}

TEST_F(ObjectUriTest, AssociationPaths) {
  // One step, association and type names without regard to case.
  EXPECT_EQ(resolveIds("vqsobj:Column?table/physicaltable[@Name='CUSTOMERS']"),
            (Ids{"A0000001.COLUMN04", "A0000001.COLUMN05"}));
  // Two steps: tables whose library is in the Sales folder... via responsible party's group.
  EXPECT_EQ(resolveIds("vqsobj:PhysicalTable?ResponsibleParties/Person/IdentityGroups/"
                       "IdentityGroup[@Name='Administrators']"),
            Ids{"A0000001.TABLE001"});
  // A path inside not() and combined with other conditions.
  EXPECT_EQ(resolveIds("vqsobj:PhysicalTable?@TableType='DATA' and not(Columns/Column)"), Ids{});
}

TEST_F(ObjectUriTest, ApplicationConnectionQueryOfThreeSteps) {
  const std::string query =
      "vqsobj:TCPIPConnection?TCPIPConnection[@Name='Connection URI'][Source/DeployedComponent"
      "[@Name='Registered RUX Application']/DescriptiveComponent/SoftwareComponent[@Name=:'"
      "report portal' and @PublicType='Application']]";
  EXPECT_EQ(resolveIds(query), Ids{"A0000001.CONN0001"});
  // The other application is a Service, not an Application.
  std::string other = query;
  other.replace(other.find("report portal"), 13, "Batch Scheduler");
  StatusCode status = 0;
  EXPECT_TRUE(resolveIds(other, &status).empty());
  EXPECT_EQ(status, kStatusNoMatch);
}

TEST_F(ObjectUriTest, ResolveInRepositoryRestrictsToOneRepository) {
  const std::string query = "vqsobj:PhysicalTable?@TableType='DATA'";
  MetadataObject* list = nullptr;
  ASSERT_EQ(resolveInRepository(md, "A0000002", 8, query.data(), (int32_t)query.size(), &list),
            kStatusOk);
  EXPECT_EQ(identifiers(list), Ids{"A0000002.TABLE001"});
  freeObjectList(md, list);
  EXPECT_EQ(resolveInRepository(md, "ZZZZZZZZ", 8, query.data(), (int32_t)query.size(), &list),
            kStatusUnknownRepository);
  EXPECT_EQ(list, nullptr);
}

// The two resolution operations answer a query that matches nothing differently: resolveUri
// with its no-match status (the packages' resolution cache keys on it), resolveInRepository with
// success and no list (METADATA_GETURI's "no connection" answer relies on it).
TEST_F(ObjectUriTest, NoMatchIsAFailureOfResolveUriButAnEmptyAnswerOfResolveInRepository) {
  const std::string query = "vqsobj:PhysicalTable?@TableType='NONE'";
  MetadataObject* list = reinterpret_cast<MetadataObject*>(&list);  // must be overwritten
  EXPECT_EQ(resolveUri(md, query.data(), (int32_t)query.size(), &list), kStatusNoMatch);
  EXPECT_EQ(list, nullptr);
  list = reinterpret_cast<MetadataObject*>(&list);
  EXPECT_EQ(resolveInRepository(md, "A0000001", 8, query.data(), (int32_t)query.size(), &list),
            kStatusOk);
  EXPECT_EQ(list, nullptr);
  // A malformed query is still a failure of both.
  const std::string bad = "vqsobj:PhysicalTable?@TableType=";
  EXPECT_EQ(resolveInRepository(md, "A0000001", 8, bad.data(), (int32_t)bad.size(), &list),
            kStatusMalformedUri);
  EXPECT_EQ(list, nullptr);
}

struct Malformed {
  const char* uri;
  size_t position;
  const char* expected;
};

TEST_F(ObjectUriTest, MalformedUrisNameThePositionAndWhatWasExpected) {
  const Malformed cases[] = {
      {"objects:Person\\X", 1, "'vqsobj:'"},
      {"vqsobj:\\X", 8, "a type name"},
      {"vqsobj:Person", 14, "'\\' or '?' after the type name"},
      {"vqsobj:Person\\", 15, "an object identifier after '\\'"},
      {"vqsobj:Person?", 15, "a condition"},
      {"vqsobj:Person?@Title 'x'", 22, "'=', '!=' or '=:'"},
      {"vqsobj:Person?@Title=x", 22, "a quoted literal"},
      {"vqsobj:Person?@Title='x", 22, "a closing ' for this literal"},
      {"vqsobj:Person?Person[@Title='x'", 32, "']'"},
      {"vqsobj:Person?Column[@Title='x']", 15, "the type name 'Person'"},
      {"vqsobj:Person?@Title='x' xor @Name='y'", 26, "'and', 'or' or the end of the text"},
      {"vqsobj:Person?not(@Title='x'", 29, "')'"},
      {"vqsobj:Person?contains(Title,'x')", 24, "'@' and an attribute name"},
      {"vqsobj:Person?IdentityGroups and @Name='x'", 30, "'/' after the association name"},
      {"vqsobj:Person?IdentityGroups/", 30, "a type name"},
  };
  for (const Malformed& c : cases) {
    StatusCode status = 0;
    EXPECT_TRUE(resolveIds(c.uri, &status).empty()) << c.uri;
    EXPECT_EQ(status, kStatusMalformedUri) << c.uri;
    std::string expected = "malformed object URI at position " + std::to_string(c.position) +
                           ": expected " + c.expected;
    EXPECT_EQ(lastErrorText(md), expected) << c.uri;
  }
}

}  // namespace
}  // namespace mdserver::testing
