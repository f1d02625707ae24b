// How a run ends and what it may change, through the real program: --bail stops at the first
// call that reports a failure (and pcall cannot hold it), -i keeps going as lua -i does unless
// --bail; --read-only leaves a repository file byte for byte as it was, whatever a program
// tries; Tab completion offers names the program can use.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "runner/lua_program.h"
#include "tests/runner/mdhost_process.h"

namespace {

using mdhost_test::readFile;
using mdhost_test::runMdhost;
using mdhost_test::TemporaryFolder;
using mdhost_test::Transcript;
namespace fs = std::filesystem;

TEST(RunControl, BailStopsAtTheFirstReportedFailureOnly) {
  const std::string program =
      "print(metadata_resolve([[vqsobj:Person?@Name='Nobody']], char(8), char(8)))\n"  // no match
      "print(pcall(metadata_newobj, 'Nonsense', char(60)))\n"  // reported: unknown type
      "print('after')\n";
  Transcript plain = runMdhost({"-e", program});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(plain.out.find("after"), std::string::npos);

  Transcript bailed = runMdhost({"--bail", "-e", program});
  EXPECT_EQ(bailed.status, 4) << bailed.err;
  EXPECT_EQ(bailed.out, "0\n");  // the no-match ran; the pcall did not save the program
  EXPECT_NE(bailed.err.find("METADATA_NEWOBJ reported status 0x801720E0; --bail stops the program"),
            std::string::npos)
      << bailed.err;

  // A status that only reaches the host log (SYSRC stays 0) stops it too.
  Transcript logged = runMdhost(
      {"--bail", "-e", "print(METASEC_SETAUTH('', '', '', 'Nobody', 'G', 'Read', '')) print('after')"});
  EXPECT_EQ(logged.status, 4);
  EXPECT_EQ(logged.out, "");
  EXPECT_NE(logged.err.find("METASEC_SETAUTH reported status 0x80172155"), std::string::npos)
      << logged.err;
}

TEST(RunControl, InteractiveLinesGoOnAfterErrorsUnlessBail) {
  const std::string lines = "print(1)\nerror('x')\nprint(metadata_newobj('Nonsense', char(60)))\nprint(2)\n";
  Transcript goesOn = runMdhost({"-i"}, lines);
  EXPECT_EQ(goesOn.status, 0);
  EXPECT_EQ(goesOn.out, "1\n-2\n2\n");
  Transcript stops = runMdhost({"--bail", "-i"}, lines);
  EXPECT_EQ(stops.status, 1);
  EXPECT_EQ(stops.out, "1\n");
  Transcript stopsAtStatus = runMdhost({"--bail", "-i"}, "print(1)\nprint(metadata_newobj('Nonsense', char(60)))\nprint(2)\n");
  EXPECT_EQ(stopsAtStatus.status, 4);
  EXPECT_EQ(stopsAtStatus.out, "1\n");
}

// Every kind of change the packages can make, each printing its value.
constexpr const char* kEveryChange = R"lua(
local T, uri = [[vqsobj:PhysicalTable\A0000001.TABLE001]], char(60)
print(metadata_setattr(T, "NumRows", "1"), metadata_setprop(T, "RefreshSchedule", "never"),
      metadata_newobj("Document", uri, "New"), metadata_delobj([[vqsobj:Document\A0000001.DOC00001]]),
      metadata_setassn(T, "Columns", "Remove", [[vqsobj:Column\A0000001.COLUMN01]]),
      metadata_delassn(T, "TablePackage"))
print(METASEC_SETAUTH("", "", "", "Dee Novak", "G", "Write", "A0000001.TABLE001"),
      METASEC_NEWACT("", "", "Name", "Fresh"), METASEC_SETACTA("", "Sales Tables", "Name", "Renamed"),
      METASEC_REMACT("", "FOUNDATION", "Repository Defaults"),
      METASEC_APPLYACT("", "vqsobj:PhysicalTable\\A0000001.TABLE003", "Sales Tables"),
      METASEC_DELACT("", "Repository Defaults"))
local txn = char(40)
print(METASEC_BEGTRAN("", 0, txn), METASEC_SETAUTH(txn.trimmed, "", "", "Dee Novak", "D", "Read", ""),
      METASEC_ENDTRAN("", txn.trimmed, 0))
)lua";

TEST(RunControl, ReadOnlyLeavesTheRepositoryFileAsItWas) {
  TemporaryFolder folder("mdhost-read-only");
  const fs::path db = folder / "x.db";
  ASSERT_EQ(runMdhost({"repo", "import",
                       (fs::path(RUX_SOURCE_DIR) / "examples" / "sample_repository.json").string(),
                       db.string()})
                .status,
            0);
  const std::string before = readFile(db);
  Transcript refused = runMdhost({"--repository", db.string(), "--read-only", "-e", kEveryChange});
  EXPECT_EQ(refused.status, 0) << refused.err;
  EXPECT_EQ(readFile(db), before);
  // Nothing succeeded: no value 0 among the changes (the transaction itself may begin and end).
  const std::string changes = refused.out.substr(0, refused.out.rfind('\n', refused.out.size() - 2));
  EXPECT_EQ(("\t" + changes + "\t").find("\t0\t"), std::string::npos) << refused.out;
  EXPECT_EQ(changes.find("\n0\t"), std::string::npos) << refused.out;
  EXPECT_NE(refused.err.find("--read-only: setAttribute refused"), std::string::npos) << refused.err;
  // Reading still works.
  Transcript reads = runMdhost({"--repository", db.string(), "--read-only", "ls", "Person"});
  EXPECT_EQ(reads.status, 0);
  EXPECT_NE(reads.out.find("Dee Novak"), std::string::npos);

  // The same program without --read-only changes the file: the comparison above can fail.
  Transcript changed = runMdhost({"--repository", db.string(), "-e", kEveryChange});
  EXPECT_EQ(changed.status, 0) << changed.err;
  EXPECT_NE(readFile(db), before);
}

// What --json writes is JSON, and says what the text says.
TEST(RunControl, JsonOutputsAgreeWithTheText) {
  Transcript denied = runMdhost({"access", "--json", "A0000001.TABLE003", "Read", "--identity", "Bo Lindqvist"});
  EXPECT_EQ(denied.status, 1);
  const auto answer = nlohmann::json::parse(denied.out);
  EXPECT_EQ(answer["granted"], false);
  EXPECT_EQ(answer["steps"][0]["identity"], "A0000001.GROUP001");
  Transcript text = runMdhost({"access", "A0000001.TABLE003", "Read", "--identity", "Bo Lindqvist"});
  EXPECT_NE(text.out.find(answer["lines"][1].get<std::string>()), std::string::npos) << text.out;

  Transcript stats = runMdhost({"--json", "--stats", "-e", "metadata_version() metadata_version()"});
  ASSERT_EQ(stats.status, 0);
  const auto report = nlohmann::json::parse(stats.err);
  EXPECT_EQ(report["calls"]["serverVersion"], 2);
  EXPECT_EQ(report["pool"]["blocksLeftAtRelease"], 0);

  Transcript inspected = runMdhost({"inspect", RUX_BUILD_DIR "/lib/secfuncs.so", "--json"});
  ASSERT_EQ(inspected.status, 0) << inspected.err;
  const auto library = nlohmann::json::parse(inspected.out);
  EXPECT_EQ(library["descriptors"].size(), 14u);
  EXPECT_EQ(library["descriptors"][13]["name"], "METASEC_ENDTRAN");

  // The helpers' JSON: a round trip keeps every value, and bad input is refused with a reason.
  Transcript helpers = runMdhost({"-e", R"lua(
    local d = describe([[vqsobj:PhysicalTable?@Name='ORDERS']])
    local again = json.decode(json.encode(d))
    print(again.attributes[2].value, #again.associations, again.associations[1].objects[3])
    print(json.encode({"a\"\n\0b", 1.5, 2^53, {}, {x = json.null}}))
    local t = {} t.self = t
    print(pcall(json.encode, t))
    print(pcall(json.encode, {f = print}))
    print(pcall(json.decode, '{"a": [1, }'))
  )lua"});
  EXPECT_EQ(helpers.status, 0) << helpers.err;
  const std::string expected =
      "120000\t3\tVQSOBJ:Column\\A0000001.COLUMN03\n"
      "[\"a\\\"\\n\\u0000b\",1.5,9.007199254740992e+15,[],{\"x\":null}]\n";
  EXPECT_EQ(helpers.out.substr(0, expected.size()), expected) << helpers.out;
  EXPECT_NE(helpers.out.find("false\tjson.encode: cannot write nested deeper"),
            std::string::npos) << helpers.out;
  EXPECT_NE(helpers.out.find("cannot write a function value"), std::string::npos) << helpers.out;
  EXPECT_NE(helpers.out.find("json.decode: [json.exception.parse_error"), std::string::npos)
      << helpers.out;
}

// docs/repository.md says which paired associations the sample keeps on one side only: walked
// through the helpers as a program would, the one-sided links are exactly those.
TEST(RunControl, TheSampleKeepsOneSideOnlyWhereTheDocsSay) {
  Transcript walk = runMdhost({"-e", R"lua(
    local paired = {Columns = "Table", Tables = "TablePackage", MemberIdentities = "IdentityGroups",
                    SubTrees = "ParentTree", Members = "Trees"}
    local inverse = {}
    for k, v in pairs(paired) do inverse[k], inverse[v] = v, k end
    local links, kind, missingLinks, oneSided = 0, char(64), 0, {}
    for n = 1, metadata_getntyp(1, kind) do
      metadata_getntyp(n, kind)
      for uri in objects(kind.trimmed) do
        for name, target in associations(uri) do
          if inverse[name] then
            links = links + 1
            local back = false
            for source in associations(target, inverse[name]) do back = back or source == uri end
            if not back then
              missingLinks = missingLinks + 1
              oneSided[name] = (oneSided[name] or 0) + 1
            end
          end
        end
      end
    end
    print(links, missingLinks)
    for _, name in ipairs{"Columns", "MemberIdentities", "Members", "SubTrees"} do
      io.write(name, " ", oneSided[name] or 0, "\n")
      oneSided[name] = nil
    end
    print(next(oneSided))
  )lua"});
  EXPECT_EQ(walk.status, 0) << walk.err;
  // FORECAST's column; Sales Team and Table Editors; the folders' members and sub-folders.
  EXPECT_EQ(walk.out, "35\t13\nColumns 1\nMemberIdentities 2\nMembers 7\nSubTrees 3\nnil\n");
}

// help(name) finds the reference of every registered function, its signature included.
TEST(RunControl, HelpHasEveryFunction) {
  Transcript help = runMdhost({"-e", R"lua(
    local names = {}
    for name in pairs(_G) do
      if name:match("^METADATA_") or name:match("^METASEC_") then names[#names + 1] = name end
    end
    table.sort(names)
    local shown = {}
    print = function(...) shown[#shown + 1] = table.concat({...}, "\t") end
    local found = 0
    for _, name in ipairs(names) do
      shown = {}
      help(name:lower())
      local text = table.concat(shown, "\n")
      if text:find("### " .. name, 1, true) == 1 and text:find("`" .. name .. "(", 1, true)
         and text:find("Arguments: ", 1, true) then
        found = found + 1
      else
        io.write("incomplete help for ", name, ":\n", text, "\n")
      end
    end
    io.write(#names, " ", found, "\n")
    io.write(tostring(pcall(help, "metadata_nothing")), "\n")
  )lua"});
  EXPECT_EQ(help.status, 0) << help.err;
  EXPECT_EQ(help.out, "37 37\nfalse\n");
}

TEST(RunControl, CompletionOffersNamesAndTypeNames) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_dostring(L, "java = {new = 1, call = 2, drop = 3} metadata_getnobj = 1 metadata_getnasl = 1");
  runner::setCompletionVocabulary({"PhysicalTable", "Person", "Columns"});
  using Words = std::vector<std::string>;
  EXPECT_EQ(runner::completionsFor(L, "java.ne", 0), Words{"java.new"});
  EXPECT_EQ(runner::completionsFor(L, "x = metadata_getn", 4),
            (Words{"metadata_getnasl", "metadata_getnobj"}));
  EXPECT_EQ(runner::completionsFor(L, "print(string.up", 6), Words{"string.upper"});
  // Inside a string: type and association names, after the scheme or on their own.
  EXPECT_EQ(runner::completionsFor(L, "describe(\"vqsobj:P", 10),
            (Words{"vqsobj:Person", "vqsobj:PhysicalTable"}));
  EXPECT_EQ(runner::completionsFor(L, "associations(u, [[col", 18), Words{"Columns"});
  EXPECT_EQ(runner::completionsFor(L, "x = 'a\\'' .. P", 13), Words{});  // outside the string again
  lua_close(L);
}

}  // namespace
