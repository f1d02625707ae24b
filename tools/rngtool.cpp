// rngtool: creates and initialises a random stream exactly as the package context does (method
// from "OSENV.RUX_RNG_METHOD", seed and stream number from the command line) on the reference
// host, then prints draws, conversions, state listings or the initialisation result.
//
//   rngtool METHOD [--seed S] [--stream N] [--substream K] [--op OP] [-n COUNT] [--count C]
//                  [--raw] [--set KEY=VALUE]... [--no-rdrand] [--fallback]
//   rngtool --help | --list | --version
//
// Integers print in lower-case hex, zero-padded to their width (8 digits for 32-bit values, 16
// for 64-bit ones); doubles as the 16 hex digits of their bits, a blank and %.17g. -n COUNT
// defaults to one value (without end for --raw); --count C defaults to the whole state.
// METHOD must be one of the names the engine accepts (any letter case); an unknown one is
// refused unless --fallback hands it to the engine, which then falls back to MTHYBRID as a
// session would. METHOD may be given empty ("") to leave the method setting empty. Host
// messages go to standard error. Bad arguments: a message and exit status 2.
#include <bit>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/reference_host.h"
#include "host/text_tools.h"
#include "random/engine.h"
#include "random/method_list.h"
#include "random/selection.h"
#include "random/stream.h"
#include "random/text16.h"

namespace {

constexpr int kUsageError = 2;
constexpr const char* kVersion = "1.0.0";

constexpr const char* kSynopsis =
    "usage: rngtool METHOD [--seed S] [--stream N] [--substream K] [--op OP] [-n COUNT] "
    "[--count C] [--raw] [--set KEY=VALUE]... [--no-rdrand] [--fallback]\n"
    "       rngtool --help | --list | --version\n";

struct Options {
  std::optional<std::string> method;
  uint64_t seed = 0;
  uint64_t streamNumber = 0;
  std::optional<uint64_t> substream;
  std::string op = "next64";
  std::optional<uint64_t> count;
  int64_t listCount = 1000000;
  bool raw = false;
  bool noRdrand = false;
  bool fallback = false;
  bool seedGiven = false;
  std::vector<std::pair<std::string, std::string>> settings;
};

std::string narrow(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text) out += static_cast<char>(*text);  // the accepted names are ASCII
  return out;
}

// "FRY4X64  TF, TF4, THREEFRY, THREEFRY4X64": each method, then the other names that select it.
std::string methodList() {
  std::string out;
  for (const rng::MethodEntry& entry : rng::kMethods) {
    std::string line = entry.name;
    line.resize(10, ' ');
    std::string aliases;
    for (int i = 0; i < rng::acceptedNameCount(); ++i) {
      const rng::AcceptedName accepted = rng::acceptedName(i);
      const std::string name = narrow(accepted.name);
      if (std::strcmp(accepted.method, entry.name) != 0 || name == entry.name) continue;
      aliases += (aliases.empty() ? "" : ", ") + name;
    }
    out += line + aliases;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += "\n";
  }
  return out;
}

void printHelp() {
  std::printf(
      "%s"
      "Creates a random stream as the package context does, with METHOD given through the\n"
      "setting OSENV.RUX_RNG_METHOD, and prints what OP asks for.\n"
      "\n"
      "Options:\n"
      "  --seed S         the seed (decimal or 0x hex); without it the engine seeds from the clock\n"
      "  --stream N       the stream number; --substream K sets the substream and initialises again\n"
      "  --op OP          next32, next64 (default), uniform, slot17 ... slot36, list32, list64, init\n"
      "  -n COUNT         values to print (default 1; --raw without -n writes without end)\n"
      "  --count C        words of state that list32/list64 print (default: all)\n"
      "  --raw            write next32/next64 values as little-endian bytes; without --seed, the\n"
      "                   seed used is printed on standard error\n"
      "  --set KEY=VALUE  a host name-value setting (repeatable)\n"
      "  --no-rdrand      the host reports a processor without RDRAND\n"
      "  --fallback       hand an unknown METHOD to the engine, which then uses MTHYBRID\n"
      "  --list           the methods and their other names;  --version;  --help\n"
      "\n"
      "Methods (any letter case; a method's other names follow it):\n%s"
      "\n"
      "Output: integers in lower-case hex padded to 8 (32-bit) or 16 (64-bit) digits; doubles as\n"
      "the 16 hex digits of their bits and %%.17g. Exit status: 0, 1 when output fails, 2 for a\n"
      "usage error.\n",
      kSynopsis, methodList().c_str());
}

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "rngtool: %s\n%s"
               "  OP: next32, next64 (default), uniform, slot17 ... slot36, list32, list64, init\n"
               "  -n COUNT: values to print (default 1; --raw without -n writes without end)\n"
               "  rngtool --help lists the methods\n",
               problem.c_str(), kSynopsis);
  std::exit(kUsageError);
}

// True when the engine accepts `method` as it is given (through the setting, which the engine
// does not trim), comparing as the engine does: same length, Unicode upper case of both sides.
bool isAcceptedName(const std::string& method) {
  const std::u16string wide = refhost::text::utf8ToUtf16(method);
  for (int i = 0; i < rng::acceptedNameCount(); ++i) {
    const char16_t* name = rng::acceptedName(i).name;
    if (static_cast<size_t>(rng::length16(name)) != wide.size()) continue;
    bool same = true;
    for (size_t k = 0; k < wide.size() && same; ++k)
      same = rng::upperCase16(wide[k]) == rng::upperCase16(name[k]);
    if (same) return true;
  }
  return false;
}

// Decimal or 0x-hex unsigned 64-bit; anything else is a usage error naming the option.
uint64_t parseUnsigned(const char* option, const char* text) {
  if (text == nullptr) usage(std::string("missing value after ") + option);
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  if (*digits == 0) usage(std::string("empty number for ") + option);
  for (const char* p = digits; *p; ++p)
    if (!(hex ? std::isxdigit(static_cast<unsigned char>(*p)) : std::isdigit(static_cast<unsigned char>(*p))))
      usage(std::string("bad number '") + text + "' for " + option);
  errno = 0;
  unsigned long long value = std::strtoull(digits, nullptr, hex ? 16 : 10);
  if (errno == ERANGE) usage(std::string("number '") + text + "' for " + option + " exceeds 64 bits");
  return value;
}

// "slotNN" with NN in 17..36; anything else is a usage error.
int slotNumber(const std::string& op) {
  const std::string number = op.substr(4);
  int n = 0;
  for (char c : number)
    n = std::isdigit(static_cast<unsigned char>(c)) && n < 100 ? n * 10 + (c - '0') : 1000;
  if (number.empty() || number[0] == '0' || n < 17 || n > 36)
    usage("--op " + op + ": slots 17 to 36 only");
  return n;
}

Options parseArguments(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--help" || a == "-h") {
      printHelp();
      std::exit(0);
    } else if (a == "--list") {
      std::printf("%s", methodList().c_str());
      std::exit(0);
    } else if (a == "--version") {
      std::printf("rngtool %s\n", kVersion);
      std::exit(0);
    } else if (a == "--seed") {
      o.seed = parseUnsigned("--seed", next), ++i;
      o.seedGiven = true;
    } else if (a == "--stream") {
      o.streamNumber = parseUnsigned("--stream", next), ++i;
    } else if (a == "--substream") {
      o.substream = parseUnsigned("--substream", next), ++i;
    } else if (a == "--op") {
      if (next == nullptr) usage("missing value after --op");
      o.op = next, ++i;
    } else if (a == "-n") {
      o.count = parseUnsigned("-n", next), ++i;
    } else if (a == "--count") {
      uint64_t c = parseUnsigned("--count", next);
      if (c > INT64_MAX) usage("--count is too large");
      o.listCount = static_cast<int64_t>(c), ++i;
    } else if (a == "--raw") {
      o.raw = true;
    } else if (a == "--no-rdrand") {
      o.noRdrand = true;
    } else if (a == "--fallback") {
      o.fallback = true;
    } else if (a == "--set") {
      if (next == nullptr) usage("missing KEY=VALUE after --set");
      std::string s = next;
      size_t eq = s.find('=');
      if (eq == std::string::npos || eq == 0) usage("--set needs KEY=VALUE, got '" + s + "'");
      o.settings.emplace_back(s.substr(0, eq), s.substr(eq + 1));
      ++i;
    } else if (!a.empty() && a[0] == '-') {
      usage("unknown option '" + a + "'");
    } else if (!o.method) {
      o.method = a;
    } else {
      usage("unexpected argument '" + a + "' (METHOD was already given)");
    }
  }
  if (!o.method) usage("METHOD is required");
  if (!o.method->empty() && !o.fallback && !isAcceptedName(*o.method)) {
    std::fprintf(stderr,
                 "rngtool: unknown method '%s' (--fallback hands it to the engine, which then "
                 "uses MTHYBRID)\nmethods, each followed by its other names:\n%s",
                 o.method->c_str(), methodList().c_str());
    std::exit(kUsageError);
  }
  if (o.raw && o.op != "next32" && o.op != "next64") usage("--raw works with --op next32 or next64");
  // The operation is checked before any stream exists, so a bad one never reaches the engine.
  if (o.op.rfind("slot", 0) == 0) {
    slotNumber(o.op);
  } else if (o.op != "next32" && o.op != "next64" && o.op != "uniform" && o.op != "list32" &&
             o.op != "list64" && o.op != "init") {
    usage("unknown --op '" + o.op + "'");
  }
  return o;
}

// Command-line text is UTF-8 (a byte that is not valid UTF-8 reads as its Latin-1 character),
// converted the way the host converts 8-bit text, so a setting holds what a session would see.
std::u16string widen(const std::string& s) { return refhost::text::utf8ToUtf16(s); }

bool sameKey(const std::string& a, const char* b) {
  return refhost::text::asciiUpper(a) == refhost::text::asciiUpper(b);
}

void printDouble(double x) {
  std::printf("%016" PRIx64 " %.17g\n", std::bit_cast<uint64_t>(x), x);
}

// Slot n (17..36) of the descriptor as a double operation, or null.
rng::DoubleOperation doubleSlot(const rng::MethodDescriptor& d, int n) {
  void* const* slots = rng::operationSlots(d.ops);
  return reinterpret_cast<rng::DoubleOperation>(slots[n - 1]);
}

int runRaw(rng::RandomStream* stream, const Options& o) {
  const bool wide = o.op == "next64";
  uint8_t buffer[8 * 512];
  uint64_t remaining = o.count.value_or(UINT64_MAX);
  while (remaining > 0) {
    size_t used = 0;
    for (; used + 8 <= sizeof buffer && remaining > 0; --remaining) {
      uint64_t v = wide ? stream->descriptor->ops.next64(stream->state)
                        : stream->descriptor->ops.next32(stream->state);
      const int bytes = wide ? 8 : 4;
      for (int b = 0; b < bytes; ++b) buffer[used++] = static_cast<uint8_t>(v >> (8 * b));
    }
    if (std::fwrite(buffer, 1, used, stdout) != used) return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parseArguments(argc, argv);

  refhost::HostConfig config;
  config.rdrandAvailable = !o.noRdrand;
  config.logFile = stderr;
  refhost::ReferenceHost host(config);
  refhost::ActiveHostScope active(host);
  host.setNameValueText(u"OSENV.RUX_RNG_METHOD", widen(*o.method));
  for (const auto& [key, value] : o.settings) {
    // The forced clock seed is read as a double; every other engine setting is read as text
    // (words, or numbers that the engine parses from text).
    if (sameKey(key, "tkbug.RNGSEED")) {
      char* end = nullptr;
      double d = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != 0) usage("--set tkbug.RNGSEED needs a number, got '" + value + "'");
      host.setNameValueDouble(widen(key), d);
    } else {
      host.setNameValueText(widen(key), widen(value));
    }
  }
  rng::bindRuntime(host.runtime());

  rng::RandomStream* stream = rng::createStream(host.streamAllocator(), o.seed, o.streamNumber);
  if (stream == nullptr) {
    std::fprintf(stderr, "rngtool: the host could not allocate a random stream\n");
    return 1;
  }
  if (o.substream) {
    stream->substream = *o.substream;
    rng::initialiseStream(stream);
  }
  const rng::MethodDescriptor& d = *stream->descriptor;
  void* state = stream->state;

  if (o.raw) {
    // The draws alone cannot be repeated without the seed the clock gave.
    if (!o.seedGiven) {
      std::fprintf(stderr, "rngtool: seed %" PRIu64 " (0x%016" PRIx64 ")\n", stream->seedUsed,
                   stream->seedUsed);
    }
    return runRaw(stream, o);
  }

  const uint64_t count = o.count.value_or(1);
  if (o.op == "init") {
    std::printf("status %08x\nseed %016" PRIx64 "\ncheck %08x\nmethod %s\n", stream->status,
                stream->seedUsed, stream->seedCheck, d.name);
  } else if (o.op == "next32") {
    for (uint64_t i = 0; i < count; ++i) std::printf("%08x\n", d.ops.next32(state));
  } else if (o.op == "next64") {
    for (uint64_t i = 0; i < count; ++i) std::printf("%016" PRIx64 "\n", d.ops.next64(state));
  } else if (o.op == "uniform") {
    for (uint64_t i = 0; i < count; ++i) printDouble(stream->uniform(state));
  } else if (o.op.rfind("slot", 0) == 0) {
    const int n = slotNumber(o.op);
    rng::DoubleOperation op = doubleSlot(d, n);
    if (op == nullptr) {
      std::fprintf(stderr, "rngtool: method %s has no operation in slot %d\n", d.name, n);
      return kUsageError;
    }
    for (uint64_t i = 0; i < count; ++i) printDouble(op(state));
  } else if (o.op == "list32" || o.op == "list64") {
    host.setLogFile(nullptr);
    host.clearLog();
    (o.op == "list32" ? d.ops.list32 : d.ops.list64)(state, o.listCount);
    for (const std::string& line : host.logTexts()) std::printf("%s\n", line.c_str());
  } else {
    usage("unknown --op '" + o.op + "'");
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
