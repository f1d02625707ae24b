// The browsing subcommands and the Lua helpers tried by a user who wants to learn about an
// object it may not read (LEDGER, A0000001.TABLE003, hidden from Bo by the analysts' deny): every
// path must answer as for an object that does not exist, and a listing must leave it out
// without a trace (its name, its folder's link to it, a count that includes it).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/runner/mdhost_process.h"

namespace {

using mdhost_test::runMdhost;
using mdhost_test::Transcript;

Transcript asBo(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--user", "bo", "--password", "bo.pass"});
  return runMdhost(arguments);
}

TEST(AttackBrowse, ShowAndGraphAnswerAHiddenObjectAsNoObject) {
  for (const char* command : {"show", "graph"}) {
    Transcript hidden = asBo({command, "vqsobj:PhysicalTable\\A0000001.TABLE003"});
    Transcript missing = asBo({command, "vqsobj:PhysicalTable\\A0000001.TABLE999"});
    EXPECT_EQ(hidden.status, 1) << command;
    EXPECT_EQ(hidden.status, missing.status) << command;
    EXPECT_EQ(hidden.out, "") << command;
    // The same message, but for the identifier asked about.
    std::string expected = missing.err;
    expected.replace(expected.find("TABLE999"), 8, "TABLE003");
    EXPECT_EQ(hidden.err, expected) << command;
  }
  // A condition on the hidden object must not tell true from false.
  Transcript onTrue = asBo({"show", "vqsobj:PhysicalTable?@Id='A0000001.TABLE003' and @TableType='VIEW'"});
  Transcript onFalse = asBo({"show", "vqsobj:PhysicalTable?@Id='A0000001.TABLE003' and @TableType='DATA'"});
  EXPECT_EQ(onTrue.status, onFalse.status);
  EXPECT_EQ(onTrue.out, onFalse.out);
}

TEST(AttackBrowse, ListingsLeaveTheHiddenObjectOut) {
  Transcript tables = asBo({"ls", "PhysicalTable", "--json"});
  ASSERT_EQ(tables.status, 0) << tables.err;
  EXPECT_NE(tables.out.find("ORDERS"), std::string::npos) << tables.out;
  EXPECT_EQ(tables.out.find("LEDGER"), std::string::npos) << tables.out;
  EXPECT_EQ(tables.out.find("TABLE003"), std::string::npos) << tables.out;

  // The Finance folder stays visible, but its link to LEDGER does not show.
  Transcript tree = asBo({"tree", "--json"});
  ASSERT_EQ(tree.status, 0) << tree.err;
  EXPECT_NE(tree.out.find("Finance"), std::string::npos) << tree.out;
  EXPECT_EQ(tree.out.find("TABLE003"), std::string::npos) << tree.out;
  Transcript finance = asBo({"graph", "vqsobj:Tree?@Name='Finance'"});
  EXPECT_EQ(finance.out.find("LEDGER"), std::string::npos) << finance.out;

  // The helpers in a program: every way to reach the table, and the counts.
  Transcript program = asBo({"-e", R"lua(
    local n = 0
    for uri in objects("PhysicalTable") do n = n + 1 io.write(uri, " ") end
    print(n)
    for uri in objects("vqsobj:Tree?Members/PhysicalTable[@Name='LEDGER']") do print("via path", uri) end
    for name, t in associations("vqsobj:Tree?@Name='Finance'") do print(name, t) end
    print(pcall(describe, "vqsobj:PhysicalTable?@TableType='VIEW'"))
    print(json.encode(describe("vqsobj:Tree?@Name='Finance'")))
  )lua"});
  ASSERT_EQ(program.status, 0) << program.err;
  EXPECT_EQ(program.out.find("TABLE003"), std::string::npos) << program.out;
  EXPECT_EQ(program.out.find("LEDGER"), std::string::npos) << program.out;
  EXPECT_EQ(program.out.find("via path"), std::string::npos) << program.out;
  EXPECT_EQ(program.out.find("Members"), std::string::npos) << program.out;
  EXPECT_NE(program.out.find(" 3\n"), std::string::npos) << program.out;  // ORDERS, CUSTOMERS, FORECAST
  // Naming the hidden table outright: the answer of a table that does not exist.
  for (const char* helper : {"describe", "attributes", "properties", "associations"}) {
    const std::string call = std::string("print(pcall(") + helper + ", [[vqsobj:PhysicalTable\\A0000001.TABLE";
    Transcript hidden = asBo({"-e", call + "003]]))"});
    Transcript missing = asBo({"-e", call + "999]]))"});
    std::string expected = missing.out;
    ASSERT_NE(expected.find("TABLE999"), std::string::npos) << expected;
    expected.replace(expected.find("TABLE999"), 8, "TABLE003");
    EXPECT_EQ(hidden.out, expected) << helper;
    EXPECT_EQ(hidden.err, missing.err) << helper;
  }
}

TEST(AttackBrowse, ExportIsTheLocalAdministratorsOnly) {
  // A seed holds every object and every login's hash; a user may export none of it.
  Transcript refused = asBo({"-e", "export('/tmp/mdhost-attack-export-never-written.json')"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("only the local administrator"), std::string::npos) << refused.err;
  EXPECT_FALSE(std::filesystem::exists("/tmp/mdhost-attack-export-never-written.json"));
}

}  // namespace
