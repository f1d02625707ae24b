// mdhost as users run it: the quiet default and -v, -e and -i, --version, "-" for the seed in
// repo import and export, the one rule for repository files, the exit statuses with their
// reasons, inspect on a bare file name, and sysrc() beside SYSRC.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/runner/mdhost_process.h"

namespace {

using mdhost_test::readFile;
using mdhost_test::Transcript;
using mdhost_test::runMdhost;
using mdhost_test::TemporaryFolder;
namespace fs = std::filesystem;

const fs::path kSample = fs::path(RUX_SOURCE_DIR) / "examples" / "sample_repository.json";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(MdhostProgram, QuietByDefaultAndStartUpNotesWithVerbose) {
  Transcript quiet = runMdhost({"-e", "print(metadata_version())"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "9.4\n");
  EXPECT_EQ(quiet.err, "");

  for (const char* flag : {"-v", "--verbose"}) {
    Transcript verbose = runMdhost({flag, "-e", "print(metadata_version())"});
    EXPECT_EQ(verbose.status, 0);
    EXPECT_EQ(verbose.out, "9.4\n");
    EXPECT_TRUE(contains(verbose.err, "(module objfuncs) registered 23 functions")) << verbose.err;
    EXPECT_TRUE(contains(verbose.err, "(module secfuncs) registered 14 functions")) << verbose.err;
    EXPECT_TRUE(contains(verbose.err, "mdhost: loaded sample repository ")) << verbose.err;
    EXPECT_TRUE(std::regex_search(verbose.err, std::regex(": [0-9]+ objects, [0-9]+ propert(y|ies), "
                                                          "[0-9]+ associations? in [0-9.]+ s\n")))
        << verbose.err;
  }

  // What the repository says about the program's own calls is no chatter: it still shows.
  Transcript detail = runMdhost({"-e", "metadata_resolve([[vqsobj:Person?@Name=]], char(8), char(8))"});
  EXPECT_EQ(detail.status, 0);
  // It names the program's line, and marks the position in the URI.
  EXPECT_TRUE(contains(detail.err, "NOTE: (command line):1: Metadata repository (status "
                                   "0x801720DF): malformed object URI at position 21"))
      << detail.err;
  EXPECT_TRUE(contains(detail.err, "\n    vqsobj:Person?@Name=\n" + std::string(24, ' ') + "^\n"))
      << detail.err;
  EXPECT_FALSE(contains(detail.err, "registered")) << detail.err;
}

TEST(MdhostProgram, ChunksRunInOrderBeforeTheScript) {
  TemporaryFolder folder("mdhost-chunks");
  std::ofstream(folder / "show.lua") << "print(x, arg[0], arg[1])\n";
  Transcript run = runMdhost({"-e", "x = 1", "-e", "x = x + 1", "show.lua", "a"}, "", folder.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "2\tshow.lua\ta\n");

  // With chunks and no script, standard input is not read as the program.
  run = runMdhost({"-e", "print(5)"}, "print('from stdin')\n");
  EXPECT_EQ(run.out, "5\n");

  // A failing chunk ends the run before the script, with status 1 and its position.
  run = runMdhost({"-e", "error('stop here')", "show.lua"}, "", folder.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "mdhost: (command line):1: stop here\n");

  EXPECT_EQ(runMdhost({"-e"}).status, 2);
}

TEST(MdhostProgram, InteractiveRulesAfterTheChunksOnPlainInput) {
  // Without a terminal, -i reads standard input with the loop's rules: expressions print their
  // values, a statement may span lines, an error is reported and the loop goes on.
  Transcript run = runMdhost({"-e", "x = 3", "-i"},
                      "x * 2\nfor i = 1, 2 do\n  print(i)\nend\nerror('oops')\nx + 1\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "6\n1\n2\n4\n");
  EXPECT_EQ(run.err, "stdin:1: oops\n");
}

TEST(MdhostProgram, VersionNamesTheToolAndBothPackages) {
  Transcript run = runMdhost({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("mdhost 1.0.0 (Lua 5.4", 0), 0u) << run.out;
  EXPECT_TRUE(contains(run.out, "\nobjfuncs.so 1.0.0")) << run.out;
  EXPECT_TRUE(contains(run.out, "\nsecfuncs.so 1.0.0")) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(runMdhost({"--version", "x.lua"}).status, 2);
}

TEST(MdhostProgram, SeedThroughStandardInputAndOutput) {
  TemporaryFolder folder("mdhost-streams");
  const std::string seed =
      R"({"server": {"version": 9.4, "paused": 0}, "types": ["Person", "IdentityGroup"],
          "repositories": [{"id": "A0000001", "name": "FOUNDATION"}],
          "objects": [
            {"repository": "A0000001", "type": "Person", "id": "A0000001.PERSON01",
             "properties": [{"name": "Badge", "value": "1"}, {"name": "Desk", "value": "2"}],
             "associations": {"IdentityGroups": ["A0000001.GROUP001", "A0000001.GROUP002"]}},
            {"repository": "A0000001", "type": "IdentityGroup", "id": "A0000001.GROUP001"},
            {"repository": "A0000001", "type": "IdentityGroup", "id": "A0000001.GROUP002"}]})";
  Transcript imported = runMdhost({"repo", "import", "-", "x.db"}, seed, folder.path());
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(imported.out.rfind("imported standard input into x.db: 3 objects, 2 properties, "
                               "2 associations in ", 0), 0u) << imported.out;

  // The export on standard output is the seed alone, ready for the next import.
  Transcript exported = runMdhost({"repo", "export", "x.db", "-"}, "", folder.path());
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(exported.err, "");
  EXPECT_EQ(exported.out.front(), '{');
  Transcript again = runMdhost({"repo", "import", "-", "y.db"}, exported.out, folder.path());
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(runMdhost({"repo", "export", "y.db", "-"}, "", folder.path()).out, exported.out);
  Transcript toFile = runMdhost({"repo", "export", "y.db", "y.json"}, "", folder.path());
  EXPECT_EQ(toFile.out.rfind("exported y.db to y.json: 3 objects, 2 properties, 2 associations in ", 0), 0u)
      << toFile.out;
  EXPECT_EQ(readFile(folder / "y.json"), exported.out);

  // A repository seeded from standard input, when the program comes from elsewhere.
  Transcript seeded = runMdhost({"--repository", "-", "-e", "print(metadata_version())"}, seed);
  EXPECT_EQ(seeded.status, 0) << seeded.err;
  EXPECT_EQ(seeded.out, "9.4\n");
  Transcript both = runMdhost({"--repository", "-"}, seed);
  EXPECT_EQ(both.status, 2);
  EXPECT_TRUE(contains(both.err, "give the program as SCRIPT or with -e")) << both.err;

  // A bad seed on standard input is refused with its position; the new file is not left.
  Transcript bad = runMdhost({"repo", "import", "-", "z.db"}, "{\"types\": [1]}", folder.path());
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(contains(bad.err, "stdin:1:")) << bad.err;
  EXPECT_FALSE(fs::exists(folder / "z.db"));
}

TEST(MdhostProgram, OneRuleForRepositoryFiles) {
  TemporaryFolder folder("mdhost-file-rule");
  std::ofstream(folder / "seed.txt") << readFile(kSample);
  Transcript run = runMdhost({"repo", "import", "seed.txt", "x.db"}, "", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(contains(run.err, "'seed.txt' is no seed file")) << run.err;
  run = runMdhost({"repo", "import", kSample.string(), "x.sqlite"}, "", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(contains(run.err, "'x.sqlite' is no repository file")) << run.err;
  EXPECT_FALSE(fs::exists(folder / "x.sqlite"));
  run = runMdhost({"--repository", "x.sqlite", "-e", "print(1)"}, "", folder.path());
  EXPECT_EQ(run.status, 2);

  // A repository file that does not exist is created, and the user is told so, once.
  run = runMdhost({"--repository", "new.db", "-e", "print(metadata_version())"}, "",
                  folder.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "mdhost: created a new, empty repository file 'new.db'\n");
  run = runMdhost({"--repository", "new.db", "-e", "print(1)"}, "", folder.path());
  EXPECT_EQ(run.err, "");
}

TEST(MdhostProgram, AServerLocationNeverShowsItsPassword) {
  // No server listens there: each use fails as a usage error that names the location with its
  // password hidden.
  TemporaryFolder folder("mdhost-server");
  const std::string location =
      "postgresql://ada:s3cret@/meta?host=/nonexistent-socket-folder&connect_timeout=2";
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"--repository", location, "-e", "print(1)"},
        std::vector<std::string>{"repo", "export", location, "out.json"},
        std::vector<std::string>{"repo", "import", kSample.string(), location}}) {
    Transcript run = runMdhost(words, "", folder.path());
    EXPECT_EQ(run.status, 2) << words[0];
    EXPECT_TRUE(contains(run.err, "postgresql://ada:***@/meta")) << run.err;
    EXPECT_FALSE(contains(run.err + run.out, "s3cret")) << run.err;
  }
  EXPECT_FALSE(fs::exists(folder / "out.json"));
}

TEST(MdhostProgram, ExitStatusesAndReasons) {
  TemporaryFolder folder("mdhost-exit");
  fs::create_directories(folder / "scripts");
  Transcript run = runMdhost({"scripts"}, "", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "mdhost: cannot open script 'scripts': Is a directory\n");
  run = runMdhost({"absent.lua"}, "", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "mdhost: cannot open script 'absent.lua': No such file or directory\n");
  run = runMdhost({"--log", "no/such/folder/log.txt", "-e", "print(1)"}, "", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(contains(run.err, "'no/such/folder/log.txt': No such file or directory")) << run.err;
  run = runMdhost({"--repository", "missing.json"}, "", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "mdhost: cannot open seed file 'missing.json': No such file or directory\n");
  EXPECT_EQ(runMdhost({"--no-such-option"}).status, 2);
  EXPECT_EQ(runMdhost({"-e", "error('x')"}).status, 1);
}

TEST(MdhostProgram, InspectTakesAPathAsAPath) {
  TemporaryFolder folder("mdhost-inspect");
  fs::copy_file(fs::path(RUX_BUILD_DIR) / "lib" / "objfuncs.so", folder / "objfuncs.so");
  Transcript run = runMdhost({"inspect", "objfuncs.so"}, "", folder.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.out, "\ndescriptors 23\n")) << run.out;
  EXPECT_EQ(run.err, "");

  std::ofstream(folder / "notes.so") << "not a library\n";
  run = runMdhost({"inspect", "notes.so"}, "", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "mdhost inspect: 'notes.so' is no shared library (it is not an ELF file)\n");
  run = runMdhost({"inspect", "gone.so"}, "", folder.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "mdhost inspect: cannot open 'gone.so': No such file or directory\n");
}

// SYSRC goes through single precision, so every repository code shows as the same number;
// sysrc() gives the exact one, and nothing once a call succeeded.
TEST(MdhostProgram, SysrcGivesTheExactCodeBehindSysrc) {
  Transcript run = runMdhost(
      {"-e", "metadata_pathobj('FOUNDATION', 'no-slash', '', char(8), char(20))",
       "-e", "print(symget('SYSRC'), sysrc())",
       "-e", "metadata_pathobj('NOSUCHREPO', '/A', '', char(8), char(20))",
       "-e", "print(symget('SYSRC'), sysrc())",
       "-e", "metadata_version() print(symget('SYSRC'), sysrc())"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "-2145967872\t" + std::to_string(0x80172131u) + "\t0x80172131\n" +
                     "-2145967872\t" + std::to_string(0x80172132u) + "\t0x80172132\n" +
                     "0\tnil\n");
}

}  // namespace

namespace {

// Each kind of Lua value reaches a function as the host language's own kind, however many
// arguments a call has and whatever other userdata the program holds.
TEST(MdhostProgram, ArgumentsAreTakenByTheirKind) {
  Transcript run = runMdhost({"-e", R"lua(
    local type, id = char(20), char(60)
    local uri = [[vqsobj:Person?@Name='Ada Field']]
    print(metadata_resolve(uri, type, id), type.trimmed, id.trimmed)
    -- A string as output is a constant: the call works, the string stays.
    local constant = "unchanged"
    print(metadata_resolve(uri, constant, absent), constant)
    -- nil and missing are the empty text: no match, outputs untouched.
    local kept = char(4, "kept")
    print(metadata_resolve(nil, kept, kept), metadata_resolve(missing, kept, kept), kept.value)
    print(metadata_getnobj(uri, missing, id), metadata_getnobj(uri, 1, id), id.trimmed)
    for _, bad in ipairs{io.stdout, {}, true, 5} do
      print(select(2, pcall(metadata_resolve, uri, bad, id)))
    end
    print(select(2, pcall(metadata_getnobj, uri, io.stdout, id)))
    print(select(2, pcall(metadata_getnobj, uri, char(2, "1"), id)))
  )lua"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "1\tPerson\tA0000001.PERSON01\n"
            "1\tunchanged\n"
            "0\t0\tkept\n"
            "-4\t1\tVQSOBJ:Person\\A0000001.PERSON01\n"
            "bad argument #2 to METADATA_RESOLVE (character variable or string expected, got "
            "userdata)\n"
            "bad argument #2 to METADATA_RESOLVE (character variable or string expected, got "
            "table)\n"
            "bad argument #2 to METADATA_RESOLVE (character variable or string expected, got "
            "boolean)\n"
            "bad argument #2 to METADATA_RESOLVE (character variable or string expected, got "
            "number)\n"
            "bad argument #2 to METADATA_GETNOBJ (number expected, got userdata)\n"
            "bad argument #2 to METADATA_GETNOBJ (number expected, got userdata)\n");
}

// Functions are found from any coroutine, the one name in capitals and in small letters is one
// function, and a number reaches the package with its value whether Lua holds it as an integer
// or as a float.
TEST(MdhostProgram, FunctionsWorkFromCoroutinesAndTakeNumbersOfEitherSubtype) {
  Transcript run = runMdhost({"-e", R"lua(
    local uri = [[vqsobj:Person?@Name='Ada Field']]
    print(METADATA_RESOLVE == metadata_resolve, METADATA_GETNOBJ ~= METADATA_RESOLVE)
    local worker = coroutine.wrap(function(name)
      local type, id = char(20), char(60)
      local count = metadata_resolve(uri, type, id)
      coroutine.yield(count, type.trimmed)
      local inner = coroutine.wrap(function() return metadata_getnobj(uri, 1, id), id.trimmed end)
      return inner()
    end)
    print(worker())
    print(worker())
    local out = char(60)
    for _, n in ipairs{1, 1.0, 1.75, -0.0, 2, 2^31} do
      print(n, metadata_getnobj(uri, n, out))
    end
  )lua"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "true\ttrue\n"
            "1\tPerson\n"
            "1\tVQSOBJ:Person\\A0000001.PERSON01\n"
            "1\t1\n"
            "1.0\t1\n"
            "1.75\t1\n"
            "-0.0\t-4\n"
            "2\t-4\n"
            "2147483648.0\t-4\n");
}

}  // namespace

namespace {

// now() is wall time on a steady clock: it goes on while the program waits without using the
// processor (which os.clock would not count), and never goes back.
TEST(MdhostProgram, NowCountsTimeSpentWaiting) {
  Transcript run = runMdhost({"-e", R"lua(
    local a = now()
    os.execute("sleep 0.2")
    local b = now()
    local c = now()
    print(math.type(a), b - a >= 0.2, b - a < 30, c >= b)
  )lua"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "float\ttrue\ttrue\ttrue\n");
}

}  // namespace
