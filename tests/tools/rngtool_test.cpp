// rngtool as a program: known answers through its command line, the init and listing lines,
// binary output, settings, and the refusal of bad arguments with exit status 2.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// Runs rngtool with `args`; standard error goes through a temporary file so that a large output
// on one stream cannot block the other.
Result run(const std::vector<std::string>& args) {
  char errName[] = "/tmp/rngtool_test_XXXXXX";
  int errFd = mkstemp(errName);
  int pipeFds[2];
  if (errFd < 0 || pipe(pipeFds) != 0) return {};
  pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], 1);
    dup2(errFd, 2);
    close(pipeFds[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(RNGTOOL_PATH));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(RNGTOOL_PATH, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  Result r;
  r.out = readAll(pipeFds[0]);
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  lseek(errFd, 0, SEEK_SET);
  r.err = readAll(errFd);
  close(errFd);
  unlink(errName);
  return r;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

uint32_t finalise32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}
uint64_t finalise64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

std::string doubleLine(double x) {
  char text[64];
  std::snprintf(text, sizeof text, "%016" PRIx64 " %.17g", std::bit_cast<uint64_t>(x), x);
  return text;
}

std::string initLines(uint32_t status, uint64_t seed, uint32_t check, const char* method) {
  char text[160];
  std::snprintf(text, sizeof text, "status %08x\nseed %016" PRIx64 "\ncheck %08x\nmethod %s\n", status,
                seed, check, method);
  return text;
}

// The published first outputs of the reference generators (seed 5489) and of the two-word
// counter-based method under key (1, finaliser(2)).
TEST(Rngtool, KnownAnswersThroughTheCommandLine) {
  Result r = run({"MT32", "--seed", "5489", "--op", "next32"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "d091bb5c\n");  // -n defaults to one value
  EXPECT_EQ(r.err, "");

  r = run({"MT64", "--seed", "0x1571"});  // next64 is the default operation; hex seed
  EXPECT_EQ(r.out, "c96d191cf6f6aea6\n");

  r = run({"FRY2X32", "--seed", "1", "--op", "next32", "-n", "2"});
  EXPECT_EQ(r.out, "826b67fd\n6dcdc2bb\n");

  r = run({"mt32", "--seed", "5489", "--op", "next64", "-n", "1"});  // two draws, first high
  EXPECT_EQ(r.out, "d091bb5c22ae9ef6\n");

  // The stream number reaches the stream when it is created: stream 1 keys SUBKEY32 with 2^21.
  r = run({"SUBKEY32", "--seed", "10", "--stream", "1", "--op", "next32", "-n", "2"});
  EXPECT_EQ(r.out, "ffe0000a\nffc0000a\n");
  r = run({"SUBKEY32", "--seed", "10", "--op", "next32", "-n", "3"});
  EXPECT_EQ(r.out, "0000000a\n0000000a\n0000000a\n");  // padded to the value's width
}

TEST(Rngtool, DoublesPrintTheirBitsAndValue) {
  // The 32-bit twisters' stream uniform scales by the largest double below 2^-32.
  const double justBelow = std::bit_cast<double>(0x3DEFFFFFFFFFFFFFull);
  Result r = run({"MT32", "--seed", "5489", "--op", "uniform", "-n", "2"});
  ASSERT_EQ(r.status, 0);
  std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], doubleLine(0xd091bb5cu * justBelow));
  EXPECT_EQ(out[1], doubleLine(0x22ae9ef6u * justBelow));

  r = run({"MT32", "--seed", "5489", "--op", "slot24"});
  EXPECT_EQ(r.out, doubleLine(0xd091bb5cu * 0x1p-32) + "\n");
  r = run({"MT64", "--seed", "5489", "--op", "slot29"});
  EXPECT_EQ(r.out, doubleLine(static_cast<double>(0xc96d191cf6f6aea6ull >> 11) * 0x1p-53) + "\n");

  r = run({"MT64", "--seed", "5489", "--op", "slot18"});  // MT64 has no preferred uniform
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("slot 18"), std::string::npos) << r.err;
}

TEST(Rngtool, InitReportsStatusSeedCheckAndMethod) {
  Result r = run({"MT32", "--seed", "1", "--op", "init"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, initLines(0, 1, finalise32(1), "MT32"));

  r = run({"MT64", "--seed", "5489", "--op", "init"});
  EXPECT_EQ(r.out, initLines(0, 5489, static_cast<uint32_t>(finalise64(5489)), "MT64"));

  // The method reaches the engine as the session setting, which is not trimmed: a name with a
  // blank is no accepted name, and only --fallback hands it to the engine.
  r = run({" MT64", "--seed", "1", "--op", "init", "--fallback"});
  EXPECT_EQ(r.out, initLines(0x8c7fe80b, 1, finalise32(1), "MTHYBRID"));
  r = run({"", "--seed", "1", "--op", "init"});  // empty setting: the default method, no status
  EXPECT_EQ(r.out, initLines(0, 1, finalise32(1), "MTHYBRID"));
  r = run({"Pcg", "--seed", "1", "--op", "init"});
  EXPECT_EQ(r.out, initLines(0, 1, static_cast<uint32_t>(finalise64(1)), "PCG64I"));

  // Without RDRAND the hardware method falls back; the forced clock seed makes the seed known.
  r = run({"RDRAND", "--no-rdrand", "--set", "tkbug.RNGSEED=77", "--op", "init"});
  EXPECT_EQ(r.out, initLines(0x8c7fe80c, 77, finalise32(77), "MTHYBRID"));
  r = run({"RANUNI", "--no-rdrand", "--seed", "5", "--op", "init"});
  EXPECT_EQ(r.out, initLines(0x8c7fe80c, 5, finalise32(5), "MTHYBRID"));

  // Seed 0 takes the clock seed; a forced one applies to 64-bit methods too.
  r = run({"XOR64", "--set", "tkbug.RNGSEED=12345", "--op", "init"});
  EXPECT_EQ(r.out, initLines(0, 12345, static_cast<uint32_t>(finalise64(12345)), "XOR64"));
}

TEST(Rngtool, StreamNumbersAndSubstreams) {
  // Out of range: the error reaches standard error (errors are shown by default).
  Result r = run({"PCG32I", "--seed", "1", "--stream", "1024", "--op", "init"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out).at(0), "status 8c7fe810");
  EXPECT_NE(r.err, "");
  r = run({"PCG32I", "--seed", "1", "--stream", "1023", "--op", "init"});
  EXPECT_EQ(lines(r.out).at(0), "status 00000000");
  EXPECT_EQ(r.err, "");

  // --substream initialises again: the counter moves the twister's state, the seed stays.
  Result plain = run({"MT32", "--seed", "1", "--op", "next32", "-n", "3"});
  Result sub = run({"MT32", "--seed", "1", "--substream", "5", "--op", "next32", "-n", "3"});
  Result subAgain = run({"MT32", "--seed", "1", "--substream", "5", "--op", "next32", "-n", "3"});
  EXPECT_NE(plain.out, sub.out);
  EXPECT_EQ(sub.out, subAgain.out);
  r = run({"MT32", "--seed", "1", "--substream", "5", "--op", "init"});
  EXPECT_EQ(r.out, initLines(0, 1, finalise32(1), "MT32"));
  // A clock seed chosen at creation is kept by the second initialisation.
  r = run({"MT64", "--set", "tkbug.RNGSEED=99", "--substream", "0x10", "--op", "init"});
  EXPECT_EQ(r.out, initLines(0, 99, static_cast<uint32_t>(finalise64(99)), "MT64"));

  // SUBKEY64 keys with stream << 43 | substream.
  r = run({"SUBKEY64", "--seed", "100", "--substream", "3", "--op", "next64", "-n", "2"});
  EXPECT_EQ(r.out, "0000000000000061\n000000000000005e\n");
}

TEST(Rngtool, ListingsAreTheLogLines) {
  // FRY2X32 seeded with 1: counter (1, 0), key (1, finaliser(2)), empty buffer, index 0.
  char expected[200];
  std::snprintf(expected, sizeof expected, "   %3i: %16llx  %3i: %16llx  %3i: %16llx\n", 0, 1ull, 1,
                static_cast<unsigned long long>(finalise32(2)) << 32 | 1, 2, 0ull);
  Result r = run({"FRY2X32", "--seed", "1", "--op", "list64", "--count", "3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);

  std::snprintf(expected, sizeof expected, "   %3i: %16llx  %3i: %16llx\n", 0, 1ull, 1,
                static_cast<unsigned long long>(finalise32(2)) << 32 | 1);
  r = run({"FRY2X32", "--seed", "1", "--op", "list64", "--count", "2"});
  EXPECT_EQ(r.out, std::string(expected) + "        Further elements omitted.\n");

  r = run({"FRY2X32", "--seed", "1", "--op", "list32", "--count", "0"});
  EXPECT_EQ(r.out, "        Further elements omitted.\n");

  // Without --count the whole state: 625 words of a 32-bit twister in 157 lines.
  r = run({"MT1998", "--seed", "1", "--op", "list32"});
  std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 157u);
  std::snprintf(expected, sizeof expected, "   %3i: %8x  %3i: %8x  %3i: %8x  %3i: %8x", 0, 1u, 1,
                69069u, 2, 69069u * 69069u, 3, 69069u * 69069u * 69069u);
  EXPECT_EQ(out[0], expected);
  std::snprintf(expected, sizeof expected, "   %3i: %8x", 624, 624u);  // the index word
  EXPECT_EQ(out[156], expected);

  Result init = run({"RDRAND", "--op", "init"});
  if (lines(init.out).at(3) != "method RDRAND") GTEST_SKIP() << "processor without RDRAND";
  r = run({"RDRAND", "--op", "list32"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST(Rngtool, RawWritesLittleEndianBinary) {
  Result r = run({"MT32", "--seed", "5489", "--op", "next32", "--raw", "-n", "3"});
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.out.size(), 12u);
  EXPECT_EQ(r.out.substr(0, 4), std::string("\x5c\xbb\x91\xd0", 4));
  EXPECT_EQ(r.out.substr(4, 4), std::string("\xf6\x9e\xae\x22", 4));

  r = run({"MT64", "--seed", "5489", "--raw", "-n", "2"});
  ASSERT_EQ(r.out.size(), 16u);
  EXPECT_EQ(r.out.substr(0, 8), std::string("\xa6\xae\xf6\xf6\x1c\x19\x6d\xc9", 8));

  r = run({"MT64", "--seed", "5489", "--raw", "-n", "0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST(Rngtool, RawWithoutCountWritesUntilTheReaderStops) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    execl(RNGTOOL_PATH, RNGTOOL_PATH, "XOR64", "--seed", "1", "--raw", nullptr);
    _exit(127);
  }
  close(pipeFds[1]);
  // Far more than any fixed default would give.
  size_t total = 0;
  char buffer[65536];
  while (total < (1u << 22)) {
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  close(pipeFds[0]);  // the writer then ends on the broken pipe
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  EXPECT_GE(total, 1u << 22);
}

TEST(Rngtool, SettingsReachTheEngine) {
  // Notes are dropped by default and shown once the threshold admits them.
  Result quiet = run({"MT32", "--seed", "1", "--op", "init"});
  EXPECT_EQ(quiet.err, "");
  Result loud = run({"MT32", "--seed", "1", "--op", "init", "--set", "OSENV.RUX_RNG_MESSAGES=all"});
  EXPECT_EQ(loud.out, quiet.out);
  EXPECT_NE(loud.err, "");
  // A seed for a method that takes none is a warning; WARN lets it through.
  Result seeded = run({"RDRAND", "--seed", "3", "--op", "init", "--set",
                       "OSENV.RUX_RNG_MESSAGES=WARN"});
  if (lines(seeded.out).at(3) == "method RDRAND") {
    EXPECT_EQ(lines(seeded.out).at(0), "status 8c7fe80d");
    EXPECT_NE(seeded.err, "");
  }
  // --set may also name the method, after METHOD.
  Result r = run({"MT32", "--set", "OSENV.RUX_RNG_METHOD=MT64", "--seed", "5489"});
  EXPECT_EQ(r.out, "c96d191cf6f6aea6\n");
}

TEST(Rngtool, BadArgumentsExitWithStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--seed", "1"},
      {"MT32", "--seed"},
      {"MT32", "--seed", "abc"},
      {"MT32", "--seed", "-1"},
      {"MT32", "--seed", "0x"},
      {"MT32", "--seed", "18446744073709551616"},
      {"MT32", "--stream", "0x1g"},
      {"MT32", "-n", "ten"},
      {"MT32", "--count", "-3"},
      {"MT32", "--op", "slot16"},
      {"MT32", "--op", "slot37"},
      {"MT32", "--op", "next128"},
      {"MT32", "--op", "uniform", "--raw"},
      {"MT32", "--bogus"},
      {"MT32", "MT64"},
      {"MT32", "--set", "NOEQUALS"},
      {"MT32", "--set", "=5"},
      {"MT32", "--set", "tkbug.RNGSEED=five"},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string shown;
    for (const std::string& a : args) shown += "'" + a + "' ";
    Result r = run(args);
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_EQ(r.err.rfind("rngtool: ", 0), 0u) << shown << r.err;
  }
}

}  // namespace

namespace {

// --help, --list and --version answer on standard output with status 0, whatever else is given.
TEST(Rngtool, HelpListAndVersion) {
  Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char* word : {"next32", "list64", "init", "slot17", "--raw", "--fallback",
                           "MTHYBRID", "THREEFRY4X64", "HARDWARE"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  // Every method is listed once, first on its line, followed by the other names selecting it.
  Result list = run({"--list"});
  EXPECT_EQ(list.status, 0);
  const std::vector<std::string> rows = lines(list.out);
  ASSERT_EQ(rows.size(), 19u);
  EXPECT_EQ(rows[2], "FRY4X64   TF, TF4, THREEFRY, THREEFRY4X64");
  EXPECT_EQ(rows[6], "MT64      MT");
  EXPECT_EQ(rows[7], "MTHYBRID");
  EXPECT_EQ(rows[11], "RDRAND    TRNG, HARD, HARDWARE");
  EXPECT_EQ(run({"MT32", "--list"}).out, list.out);

  Result version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("rngtool ", 0), 0u) << version.out;
}

// A typo must not silently give another generator: an unknown name is refused with the list,
// and only --fallback lets the engine's own fall-back to MTHYBRID happen.
TEST(Rngtool, UnknownMethodIsRefusedUnlessFallbackIsAsked) {
  for (const char* name : {"MT65", "PCG6", "THREEFRY4X64X", "MT64 "}) {
    Result r = run({name, "--seed", "1"});
    EXPECT_EQ(r.status, 2) << name;
    EXPECT_EQ(r.out, "") << name;
    EXPECT_NE(r.err.find("unknown method"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("XORGENS"), std::string::npos) << r.err;
  }
  Result r = run({"MT65", "--seed", "1", "--op", "init", "--fallback"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, initLines(0x8c7fe80b, 1, finalise32(1), "MTHYBRID"));
  // Letter case does not matter, as in a session.
  EXPECT_EQ(run({"threefry", "--seed", "1", "--op", "init"}).status, 0);
}

TEST(Rngtool, HexIsPaddedToTheWidthOfTheValue) {
  // The subtract-key methods seeded with 1 draw a small number first: the padding shows.
  Result r = run({"SUBKEY32", "--seed", "1", "--op", "next32"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 9u) << r.out;
  EXPECT_EQ(r.out.substr(0, 7), "0000000") << r.out;
  r = run({"SUBKEY64", "--seed", "1", "--op", "next64"});
  EXPECT_EQ(r.out.size(), 17u) << r.out;
  EXPECT_EQ(r.out.substr(0, 15), "000000000000000") << r.out;
}

// Raw draws from a clock seed can only be repeated with the seed; without --seed it is told.
TEST(Rngtool, RawWithoutSeedTellsTheSeedOnStandardError) {
  Result r = run({"MT64", "--raw", "-n", "2", "--set", "tkbug.RNGSEED=4242"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 16u);
  EXPECT_EQ(r.err, "rngtool: seed 4242 (0x0000000000001092)\n");
  Result again = run({"MT64", "--raw", "-n", "2", "--seed", "4242"});
  EXPECT_EQ(again.out, r.out);
  EXPECT_EQ(again.err, "");
}

}  // namespace
