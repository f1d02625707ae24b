// The fault sweep: every call of the corpus below runs again and again, each time with one more
// request failing — the k-th allocation of each allocator the host offers (session pools, the
// random-stream allocator), the k-th allocation of the interface pool, or the k-th interface
// operation (status 0x801720E3) — for k = 1, 2, ... until the call runs through without meeting
// the fault (releases are never failed: a failed release keeps its blocks whatever the caller
// does). Every run must end without a crash, with a defined value (host error 1016 only
// where the host's allocators failed), and with the interface pool back to zero and no invalid
// release once the connection is dropped. Both ways a host may treat error 1016 are swept: the
// call returns by itself, or the host leaves it at once from inside hostRaiseError.
//
// A function that lands later is swept by adding its calls to kCorpus, one row each.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "frame/java_abi.h"
#include "host/reference_host.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "tests/objfuncs/repository_fixture.h"

namespace testing_support {
namespace {

using refhost::Argument;
using refhost::CharacterVariable;

// One argument of a corpus call: a literal text, an output variable of that capacity, a
// number, the missing value, an absent argument, or a variable shared by the calls of one row
// (capacity 40), such as the transaction text a preparing METASEC_BEGTRAN writes and the row's
// call reads.
struct Arg {
  enum Kind { kText, kOutput, kNumber, kMissing, kAbsent, kShared } kind;
  const char* text = "";
  int capacity = 0;
  double number = 0;
};
Arg text(const char* t) { return {Arg::kText, t, 0, 0}; }
Arg output(int capacity) { return {Arg::kOutput, "", capacity, 0}; }
Arg number(double n) { return {Arg::kNumber, "", 0, n}; }
Arg missing() { return {Arg::kMissing, "", 0, 0}; }
Arg absent() { return {Arg::kAbsent, "", 0, 0}; }
Arg shared(const char* name) { return {Arg::kShared, name, 40, 0}; }

struct Step {
  const char* function;
  std::vector<Arg> args;
};

// The repository a row runs against: the small seed of the fixture, or the sample repository
// (a FOUNDATION repository with registered applications, properties, identities, logins,
// authorizations and templates); or none: the host has no metadata client interface to give.
enum class Seed { kSmall, kSample, kNoInterface };

struct CorpusCall {
  Step call;
  Seed seed;
  double expected;           // the value (return code for PASSID) without a fault
  std::vector<Step> before;  // run first, without faults
};
CorpusCall small(const char* function, std::vector<Arg> args, double expected) {
  return {{function, std::move(args)}, Seed::kSmall, expected, {}};
}
CorpusCall sample(const char* function, std::vector<Arg> args, double expected,
                  std::vector<Step> before = {}) {
  return {{function, std::move(args)}, Seed::kSample, expected, std::move(before)};
}
CorpusCall refused(const char* function, std::vector<Arg> args, double expected) {
  return {{function, std::move(args)}, Seed::kNoInterface, expected, {}};
}
// A character function's row: its expected value is its text, kept beside the corpus.
constexpr double kText = 0;
// The values a row may not foresee: a count, or a status code returned as the value.
constexpr double kAnyCount = 1e300;

constexpr char kOrders[] = "vqsobj:PhysicalTable\\A0000001.TABLE001";
constexpr char kLedger[] = "vqsobj:PhysicalTable\\A0000001.TABLE003";
constexpr char kReadMe[] = "vqsobj:Document\\A0000001.DOC00001";
constexpr char kColumn[] = "vqsobj:Column\\A0000001.COLUMN01";
constexpr char kAda[] = "vqsobj:Person\\A0000001.PERSON01";
constexpr char kNobody[] = "vqsobj:Person?@Name='Nobody'";
Step begtran(const char* into) { return {"METASEC_BEGTRAN", {text(""), number(0), shared(into)}}; }

// Success paths and documented failures of every function built so far.
const CorpusCall kCorpus[] = {
    small("METADATA_RESOLVE", {text("vqsobj:Person?@Name='Smith'"), output(10), output(20)}, 3),
    small("METADATA_RESOLVE", {text("vqsobj:Person?@Name='Nobody'"), output(10), output(20)}, 0),
    small("METADATA_RESOLVE", {text("vqsobj:Person?@Name="), output(10), output(20)}, 0),
    small("METADATA_GETNOBJ", {text("vqsobj:Person?@Name='Smith'"), number(2), output(40)}, 3),
    small("METADATA_GETNOBJ", {text("vqsobj:Person?@Name='Smith'"), number(9), output(40)}, -4),
    small("METADATA_GETNTYP", {number(2), output(20)}, 4),
    small("METADATA_GETNTYP", {number(9), output(20)}, -4),
    small("METADATA_VERSION", {}, 9.401234567891234),
    small("METADATA_PAUSED", {}, 1),
    small("METADATA_PATHOBJ", {text(""), text("/Root/Sales/Customers"), text(""), output(10), output(20)}, 1),
    small("METADATA_PATHOBJ", {text(""), text("Root"), text(""), output(10), output(20)}, -2),
    small("METADATA_PATHOBJ", {text("Nowhere"), text("/Root"), text(""), output(10), output(20)}, -3),
    small("METADATA_NEWOBJ", {text("Person"), output(40), text("New"), text(""),
                              text("vqsobj:Tree\\A5HOME01.TREE0002"), text("Members")}, 0),
    small("METADATA_NEWOBJ", {text("NoSuchType"), output(40)}, -2),
    small("METADATA_DELOBJ", {text("vqsobj:Person\\A5HOME01.PERS0009")}, 0),
    small("METADATA_DELOBJ", {text("vqsobj:Person\\A5HOME01.NOTTHERE")}, -3),
    small("METADATA_PURGE", {text("vqsobj:Person?@Name='Smith'")}, 0),
    small("METADATA_PURGE", {}, 0),
    // Attributes and properties.
    sample("METADATA_GETATTR", {text(kOrders), text("TableName"), output(20)}, 0),
    sample("METADATA_GETATTR", {text(kOrders), text("NoSuch"), output(20)}, -2),
    sample("METADATA_GETATTR", {text(kNobody), text("TableName"), output(20)}, -3),
    sample("METADATA_SETATTR", {text(kOrders), text("NumRows"), text("99")}, 0),
    sample("METADATA_SETATTR", {text(kOrders), text(""), text("99")}, -2),
    sample("METADATA_SETATTR", {text(kNobody), text("NumRows"), text("99")}, -3),
    sample("METADATA_GETNATR", {text(kOrders), number(2), output(20), output(20)}, 3),
    sample("METADATA_GETNATR", {text(kOrders), number(9), output(20), output(20)}, -4),
    sample("METADATA_GETNATR", {text(kNobody), number(1), output(20), output(20)}, -3),
    sample("METADATA_GETPROP", {text(kOrders), text("RefreshSchedule"), output(20), output(40)}, 0),
    sample("METADATA_GETPROP", {text(kOrders), text("NoSuch"), output(20)}, -2),
    sample("METADATA_SETPROP", {text(kOrders), text("RefreshSchedule"), text("hourly"), output(40)}, 0),
    sample("METADATA_SETPROP", {text(kOrders), text("Fresh"), text("new value"), output(40)}, 1),
    sample("METADATA_SETPROP", {text(kNobody), text("Fresh"), text("new value")}, -3),
    sample("METADATA_GETNPRP", {text(kOrders), number(2), output(20), output(40)}, 2),
    sample("METADATA_GETNPRP", {text(kOrders), number(9), output(20), output(40)}, -4),
    sample("METADATA_GETNPRP", {text(kColumn), number(1), output(20), output(40)}, -2),
    // Associations.
    sample("METADATA_GETNASL", {text(kOrders), number(2), output(30)}, 3),
    sample("METADATA_GETNASL", {text(kOrders), number(9), output(30)}, -4),
    sample("METADATA_GETNASL", {text(kReadMe), number(1), output(30)}, 0),
    sample("METADATA_GETNASS", {text(kOrders), text("Columns"), number(2), output(48)}, 3),
    sample("METADATA_GETNASS", {text(kOrders), text("NoSuch"), number(1), output(48)}, -4),
    sample("METADATA_GETNASN", {text(kOrders), text("Columns"), number(3), output(48)}, 3),
    sample("METADATA_SETASSN", {text(kOrders), text("ResponsibleParties"), text("Merge"),
                                text("vqsobj:Person\\A0000001.PERSON02"), text(kNobody)}, 0),
    sample("METADATA_SETASSN", {text(kOrders), text("ResponsibleParties"), text("Sideways"),
                                text(kAda)}, -5),
    sample("METADATA_SETASSN", {text(kOrders), text("ResponsibleParties"), text("Append"),
                                text(kNobody)}, -6),
    sample("METADATA_SETASSN", {text(kOrders), text("ResponsibleParties"), text("Append"),
                                text(kAda)}, -4),
    sample("METADATA_DELASSN", {text(kOrders), text("ResponsibleParties")}, 0),
    sample("METADATA_DELASSN", {text(kOrders), text("NoSuch")}, -2),
    // Server URIs, application texts and credentials.
    sample("METADATA_GETURI", {text("Report Portal"), output(60), output(10), output(30),
                               output(8), output(20)}, 0),
    sample("METADATA_GETURI", {text("Nothing Registered"), output(60)}, 0),
    sample("METADATA_GETURI", {text("Report Portal"), output(10)}, -5),
    sample("METADATA_GETURI", {text("Report Portal"), output(60), text("")}, -6),
    small("METADATA_GETURI", {text("Report Portal"), output(60)}, -4),
    sample("METADATA_GETURI", {absent(), output(60)}, 0),
    sample("METADATA_APPPROP", {text("Report Portal"), text("WelcomeText")}, kText),
    sample("METADATA_APPPROP", {text("Report Portal"), text("NoSuch")}, kText),
    sample("METADATA_PASSID", {text("receiver")}, 0),
    sample("METADATA_PASSID", {text("nobody")}, 3),
    // Security transactions, identities and authorizations.
    small("METASEC_BEGTRAN", {text(""), number(0), output(40)}, 0),
    small("METASEC_BEGTRAN", {text("Work"), number(0), output(4)}, -2),
    small("METASEC_ENDTRAN", {text(""), text("T9.A5HOME01"), number(0)}, kAnyCount),
    sample("METASEC_ENDTRAN", {text(""), shared("txn"), number(0)}, 0, {begtran("txn")}),
    sample("METASEC_ENDTRAN", {text(""), shared("txn"), number(2)}, 0, {begtran("txn")}),
    sample("METASEC_ENDTRAN", {text(""), text(""), number(0)}, -5),
    sample("METASEC_GETNID", {text(""), text("FOUNDATION"), number(2), output(40), output(40)}, 2),
    sample("METASEC_GETNID", {text(""), text("FOUNDATION"), number(99), output(40), output(40),
                              number(0), output(20), output(20)}, -5),
    sample("METASEC_GETNID", {text(""), text("Nowhere"), number(1), output(40), output(40)}, -2),
    sample("METASEC_GETNAUTH", {text(""), text(kLedger), number(1), output(40), output(40),
                                output(8), output(20), output(40)}, 0),
    sample("METASEC_GETNAUTH", {text(""), text(kLedger), number(99), output(40), output(40),
                                output(8), output(20), output(40), number(2)}, -5),
    sample("METASEC_GETNAUTH", {text(""), text(kNobody), number(1), output(40), output(40),
                                output(8), output(20), output(40)}, -99),
    sample("METASEC_SETAUTH", {text(""), text("FOUNDATION"), text("Person"), text("Dee Novak"),
                               text("Grant"), text("Write"), text("A0000001.TABLE001")}, 0),
    sample("METASEC_SETAUTH", {shared("txn"), text("FOUNDATION"), text("Person"), text("Dee Novak"),
                               text("Deny"), text("Read"), text("A0000001.TABLE002")}, 0,
           {begtran("txn")}),
    sample("METASEC_SETAUTH", {text(""), text("Nowhere"), text("Person"), text("Dee Novak"),
                               text("Grant"), text("Write"), text("")}, -3),
    sample("METASEC_LDUMP", {text(""), text(""), number(0), text(""), text(""), text("")}, 0),
    // Access control templates.
    sample("METASEC_GETNACT", {text(""), text("FOUNDATION"), number(2), output(40), output(40),
                               output(60)}, 2),
    sample("METASEC_GETNACT", {text(""), text("REPOSID:A0000001"), number(9), output(40),
                               output(40), output(60), number(0)}, -5),
    sample("METASEC_GETNACT", {text(""), text("Nowhere"), number(1), output(40), output(40),
                               output(60)}, -3),
    sample("METASEC_NEWACT", {text(""), text("FOUNDATION"), text("Name"), text("Fresh"),
                              text("Description"), text("made under faults")}, 0),
    sample("METASEC_NEWACT", {shared("txn"), text("FOUNDATION"), text("Name"), text("Staged")}, 0,
           {begtran("txn")}),
    sample("METASEC_NEWACT", {text(""), text("FOUNDATION"), text("Name")}, -2),
    sample("METASEC_NEWACT", {text(""), text("FOUNDATION"), text("Name"), text("Sales Tables")}, -99),
    sample("METASEC_DELACT", {text(""), text("Sales Tables")}, 0),
    sample("METASEC_DELACT", {text(""), text("No Such Template")}, -2),
    sample("METASEC_APPLYACT", {text(""), text("Sales Project"), text("Repository Defaults")}, kAnyCount),
    sample("METASEC_APPLYACT", {text(""), text(kLedger), text("Sales Tables"), number(0)}, 0),
    sample("METASEC_APPLYACT", {text(""), text("FOUNDATION")}, -2),
    sample("METASEC_APPLYACT", {text(""), text("Nowhere"), text("Sales Tables")}, -3),
    sample("METASEC_REMACT", {text(""), text(kOrders), text("Sales Tables")}, 0),
    sample("METASEC_REMACT", {text(""), text(kLedger), text("Sales Tables")}, kAnyCount),
    sample("METASEC_GETNACTA", {text(""), text("Sales Tables"), number(2), output(20), output(80)}, 2),
    sample("METASEC_GETNACTA", {text(""), text("Sales Tables"), number(9), output(20), output(80)}, -5),
    sample("METASEC_GETNACTA", {text(""), text("No Such Template"), number(1), output(20),
                                output(80)}, -99),
    sample("METASEC_GETACTA", {text(""), text("A0000001.T0000002"), text("Description"), output(80)}, 0),
    sample("METASEC_GETACTA", {text(""), text("Sales Tables"), text("NoSuch"), output(80)}, -99),
    sample("METASEC_SETACTA", {text(""), text("Sales Tables"), text("Description"), text("changed")}, 0),
    sample("METASEC_SETACTA", {shared("txn"), text("Sales Tables"), text("Name"), text("Renamed")}, 0,
           {begtran("txn")}),
    sample("METASEC_SETACTA", {text(""), text("Sales Tables"), text("Name"), text("")}, kAnyCount),
    // Numbers that are no valid position or flag end the call before anything else.
    sample("METASEC_GETNID", {text(""), text("FOUNDATION"), missing(), output(40), output(40)}, -4),
    sample("METASEC_GETNACT", {text(""), text("FOUNDATION"), number(1e12), output(40), output(40),
                               output(60)}, -4),
    sample("METASEC_GETNAUTH", {text(""), text(kLedger), missing(), output(40), output(40),
                                output(8), output(20), output(40)}, -4),
    sample("METASEC_GETNACTA", {text(""), text("Sales Tables"), missing(), output(20), output(80)}, -4),
    sample("METASEC_BEGTRAN", {text(""), missing(), output(40)}, -4),
    sample("METASEC_ENDTRAN", {text(""), text("T9.A0000001"), missing()}, -4),
    sample("METADATA_GETNATR", {text(kOrders), missing(), output(20), output(20)}, -4),
    // No metadata client interface to be had.
    refused("METADATA_RESOLVE", {text(kOrders), output(10), output(20)}, -1),
    refused("METADATA_PURGE", {text(kOrders)}, 0),
    refused("METADATA_GETURI", {text("Report Portal"), output(60)}, -1),
    refused("METADATA_APPPROP", {text("Report Portal"), text("WelcomeText")}, kText),
    refused("METADATA_PASSID", {text("receiver")}, 3),
    refused("METASEC_GETNID", {text(""), text("FOUNDATION"), number(1), output(40), output(40)}, -1),
    refused("METASEC_LDUMP", {text(""), text(""), number(0), text(""), text(""), text("")}, -1),
    refused("METASEC_ENDTRAN", {text(""), text("T9.A0000001"), number(0)}, -1),
};

// What a function may deliver when a fault met it: the values its reference documents for
// failures (beside the value of the same call without a fault).
struct Documented {
  std::vector<double> values;
  bool statusCodes = false;  // also a failing status code itself as the value
};
const std::map<std::string, Documented> kDocumented = {
    {"METADATA_RESOLVE", {{0, -1}}},
    {"METADATA_GETATTR", {{-2, -3, -1}}},
    {"METADATA_SETATTR", {{-2, -3, -1}}},
    {"METADATA_GETPROP", {{-2, -3, -1}}},
    {"METADATA_SETPROP", {{0, 1, -2, -4, -9, -3, -1}}},
    {"METADATA_DELOBJ", {{-2, -3, -1}}},
    {"METADATA_GETNPRP", {{-2, -4, -3, -1}}},
    {"METADATA_GETNATR", {{-3, -4, -1}}},
    {"METADATA_GETNASS", {{-4, -3, -1}}},
    {"METADATA_GETNASN", {{-4, -3, -1}}},
    {"METADATA_GETNOBJ", {{-4, -1}}},
    {"METADATA_SETASSN", {{-4, -5, -6, -9, -3, -1}}},
    {"METADATA_NEWOBJ", {{-2, -9, -1}}},
    {"METADATA_PURGE", {{0}}},
    {"METADATA_GETNASL", {{0, -4, -3, -1}}},
    {"METADATA_GETNTYP", {{0, -4, -1}}},
    {"METADATA_VERSION", {{-1}}},
    {"METADATA_PAUSED", {{-1}}},
    {"METADATA_DELASSN", {{-2, -3, -1}}},
    {"METADATA_PATHOBJ", {{0, -2, -3, -1}, true}},
    {"METADATA_GETURI", {{0, -1, -2, -3, -4, -5, -6}}},
    {"METADATA_PASSID", {{0, 3, -1}}},
    {"METASEC_GETNID", {{-3, -5, -2, -4, -1}}},
    {"METASEC_GETNACT", {{-5, -4, -3, -2, -1}}},
    {"METASEC_GETNAUTH", {{0, -99, -5, -2, -3, -4, -1}}},
    {"METASEC_SETAUTH", {{0, -3, -99, -1}, true}},
    {"METASEC_REMACT", {{0, -3, -1}, true}},
    {"METASEC_APPLYACT", {{0, -2, -3, -1}, true}},
    {"METASEC_SETACTA", {{0, -1}, true}},
    {"METASEC_GETACTA", {{0, -99, -1}}},
    {"METASEC_GETNACTA", {{-99, -5, -4, -1}}},
    {"METASEC_NEWACT", {{0, -2, -99, -1}, true}},
    {"METASEC_DELACT", {{0, -2, -1}, true}},
    {"METASEC_LDUMP", {{0, -999, -1}}},
    {"METASEC_BEGTRAN", {{0, -2, -3, -4, -1}, true}},
    {"METASEC_ENDTRAN", {{0, -5, -3, -4, -1}, true}},
};

// A failing status code delivered as the value: its exact signed 32-bit number (bit 31 set,
// bits 22 to 30 clear: a module number and a message number below them).
bool isStatusValue(double value) {
  constexpr double kLowest = -2147483648.0, kHighest = kLowest + 0x3FFFFF;
  return value == std::trunc(value) && value >= kLowest && value <= kHighest;
}

const std::string& sampleSeed() {
  static const std::string text = [] {
    std::ifstream in(RUX_SOURCE_DIR "/examples/sample_repository.json");
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }();
  return text;
}

// A repository of the seed as it is after import. Each seed is imported once; every run gets a
// copy made with SQLite's backup, which costs a fraction of an import.
std::unique_ptr<mdserver::Repository> freshRepository(Seed seed) {
  static const auto imported = [](std::string_view text) {
    auto repository = mdserver::Repository::open("");
    mdserver::Outcome outcome = repository->importSeedText(text, "sweep seed");
    EXPECT_TRUE(outcome.ok()) << outcome.message;
    return repository;
  };
  static const std::unique_ptr<mdserver::Repository> smallSeeded = imported(kSeed);
  static const std::unique_ptr<mdserver::Repository> sampleSeeded = imported(sampleSeed());
  mdserver::Repository& source = seed == Seed::kSmall ? *smallSeeded : *sampleSeeded;
  auto repository = mdserver::Repository::open("");
  sqlite3_backup* copy =
      sqlite3_backup_init(repository->rawHandle(), "main", source.rawHandle(), "main");
  const bool copied = copy != nullptr && sqlite3_backup_step(copy, -1) == SQLITE_DONE;
  if (sqlite3_backup_finish(copy) != SQLITE_OK || !copied) return nullptr;
  return repository;
}

// A Java environment enough for METADATA_PASSID to pass the credentials: every call succeeds
// and no exception is ever pending. Local references are counted, so none may be left.
int liveJavaReferences = 0;
char javaCell;
void* fakeNewString(JavaEnvironment*, const char*) {
  ++liveJavaReferences;
  return &javaCell;
}
void* fakeGetMethod(JavaEnvironment*, void* javaClass, const char*, const char*) {
  return javaClass;
}
void fakeCallVoid(JavaEnvironment*, void*, void*, ...) {}
uint8_t fakeExceptionCheck(JavaEnvironment*) { return 0; }
void fakeDeleteLocal(JavaEnvironment*, void*) { --liveJavaReferences; }
struct FakeJava {
  std::vector<void*> table = [] {
    std::vector<void*> slots(java_slot::kCount, nullptr);
    slots[java_slot::kNewStringUtf] = reinterpret_cast<void*>(&fakeNewString);
    slots[java_slot::kGetMethodId] = reinterpret_cast<void*>(&fakeGetMethod);
    slots[java_slot::kCallVoidMethod] = reinterpret_cast<void*>(&fakeCallVoid);
    slots[java_slot::kExceptionCheck] = reinterpret_cast<void*>(&fakeExceptionCheck);
    slots[java_slot::kDeleteLocalRef] = reinterpret_cast<void*>(&fakeDeleteLocal);
    return slots;
  }();
  JavaEnvironment environment{table.data()};
  char javaClass = 0, object = 0;
};

enum class Fault { kNone, kSessionPool, kStreamAllocator, kInterfacePool, kOperation };
const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::kNone: return "no fault";
    case Fault::kSessionPool: return "session pool";
    case Fault::kStreamAllocator: return "stream allocator";
    case Fault::kInterfacePool: return "interface pool";
    case Fault::kOperation: return "interface operation";
  }
  return "?";
}

struct RunOutcome {
  bool faultFired = false;
  refhost::CallResult result;
};

std::string describe(const refhost::CallResult& result) {
  if (result.form == refhost::CallForm::kCharacter) return "'" + result.characterValue + "'";
  if (result.form == refhost::CallForm::kNone) return "return code " + std::to_string(result.returnCode);
  return std::to_string(result.numericValue);
}

class FaultSweep : public ::testing::TestWithParam<bool> {
 protected:
  int raised_ = 0;  // runs that met host error 1016

  // One run in a fresh host and repository: the row's preparing calls, then its call with the
  // fault armed at k.
  RunOutcome run(const CorpusCall& row, Fault fault, uint64_t k) {
    auto repository = freshRepository(row.seed);
    if (repository == nullptr) {
      ADD_FAILURE() << "the seeded repository could not be copied";
      return {};
    }
    const bool refuseInterface = row.seed == Seed::kNoInterface;
    refhost::HostConfig config;
    config.logFile = nullptr;
    config.leaveCallOnOutOfMemory = GetParam();
    auto host = std::make_unique<refhost::ReferenceHost>(config);
    host->load(RUX_BUILD_DIR "/lib/objfuncs.so");
    host->load(RUX_BUILD_DIR "/lib/secfuncs.so");
    FakeJava java;
    host->registerJavaObject("receiver", {&java.environment, &java.javaClass, &java.object});
    liveJavaReferences = 0;

    uint64_t poolRequests = 0, operationCalls = 0;
    bool fired = false;
    bool armed = false;  // only the row's call meets the fault, not what prepares or follows it
    std::vector<mdserver::PoolCounts> released;
    host->setMetadataProvider([&](HostSession*, void** out) -> StatusCode {
      if (refuseInterface) {
        *out = nullptr;
        return refhost::kHostStatusNoMetadataServer;
      }
      MetadataInterface* md = mdserver::openInterface(*repository, {"tester", "secret"});
      auto* client = mdserver::ClientInterface::fromAbi(md);
      if (fault == Fault::kInterfacePool) {
        client->pool().setFaultHook([&] {
          if (!armed || ++poolRequests != k) return false;
          fired = true;
          return true;
        });
      }
      if (fault == Fault::kOperation) {
        client->setOperationFaultHook([&](const char* name) -> StatusCode {
          // Releases are not failed: a release that fails keeps its blocks whatever the caller
          // does (the interface reclaims them when it goes).
          const std::string operation = name;
          if (operation.rfind("free", 0) == 0 || operation.rfind("release", 0) == 0) {
            return kStatusOk;
          }
          if (!armed || ++operationCalls != k) return kStatusOk;
          fired = true;
          return mdserver::kStatusStorageFailure;
        });
      }
      client->onRelease([&released](const mdserver::ReleaseSummary& summary) {
        released.push_back(summary.poolBeforeReclaim);
      });
      *out = md;
      return kStatusOk;
    });
    HostSession* session = host->newSession(nullptr, "DOSUB");

    std::map<std::string, std::unique_ptr<CharacterVariable>> sharedVariables;
    std::vector<std::unique_ptr<CharacterVariable>> variables;
    const auto argumentsOf = [&](const Step& step) {
      std::vector<Argument> args;
      for (const Arg& a : step.args) {
        if (a.kind == Arg::kText) args.push_back(Argument::literal(a.text));
        if (a.kind == Arg::kNumber) args.push_back(Argument::numeric(a.number));
        if (a.kind == Arg::kMissing) args.push_back(Argument::missing());
        if (a.kind == Arg::kAbsent) args.push_back(Argument::absent());
        if (a.kind == Arg::kOutput) {
          variables.push_back(std::make_unique<CharacterVariable>(
              a.capacity, std::string(static_cast<size_t>(a.capacity), ' ')));
          args.push_back(Argument::of(*variables.back()));
        }
        if (a.kind == Arg::kShared) {
          auto& variable = sharedVariables[a.text];
          if (!variable) {
            variable = std::make_unique<CharacterVariable>(
                a.capacity, std::string(static_cast<size_t>(a.capacity), ' '));
          }
          args.push_back(Argument::of(*variable));
        }
      }
      return args;
    };
    for (const Step& step : row.before) {
      std::vector<Argument> prepareArgs = argumentsOf(step);
      refhost::CallResult prepared = host->call(session, step.function, prepareArgs);
      EXPECT_EQ(prepared.numericValue, 0) << "preparing call " << step.function << " failed";
    }

    const refhost::AllocatorStats sessionBefore = host->sessionPoolTotals();
    const refhost::AllocatorStats streamBefore = host->allocatorStats(host->streamAllocator());
    if (fault == Fault::kSessionPool) host->failSessionPoolsAt(k);
    if (fault == Fault::kStreamAllocator) host->failAllocationAt(host->streamAllocator(), k);
    std::vector<Argument> args = argumentsOf(row.call);
    armed = true;
    refhost::CallResult result = host->call(session, row.call.function, args);
    armed = false;

    if (fault == Fault::kSessionPool) {
      fired = host->sessionPoolTotals().failures > sessionBefore.failures;
      host->failSessionPoolsAt(0);
    }
    if (fault == Fault::kStreamAllocator) {
      fired = host->allocatorStats(host->streamAllocator()).failures > streamBefore.failures;
      host->failAllocationAt(host->streamAllocator(), 0);
    }
    const bool hostAllocator = fault == Fault::kSessionPool || fault == Fault::kStreamAllocator;
    if (result.hostError != 0) {
      ++raised_;
      EXPECT_EQ(result.hostError, kHostErrorOutOfMemory);
      EXPECT_TRUE(hostAllocator) << "host error without a host allocator failing";
    }
    // Drop the connection: every block the packages took from the interface pool must be back.
    host->call(session, "METADATA_PURGE", {});
    host->endSession(session);
    for (const mdserver::PoolCounts& counts : released) {
      EXPECT_EQ(counts.blocksOutstanding, 0u);
      EXPECT_EQ(counts.invalidReleases, 0u);
    }
    EXPECT_EQ(host->allocatorStats(host->streamAllocator()).badReleases, 0u);
    EXPECT_EQ(liveJavaReferences, 0) << "Java local references left";
    host.reset();
    return {fired, result};
  }

  // The value of a run that met a fault: the row's own value, or one its function documents
  // for failures. A call that the host left on error 1016 delivered nothing to check.
  void expectDocumentedOutcome(const CorpusCall& row, const refhost::CallResult& clean,
                               const refhost::CallResult& faulted) {
    if (faulted.hostError != 0) return;  // nothing was stored: the value is as the host set it
    if (faulted.form == refhost::CallForm::kCharacter) {
      // The text, or the result as the host gave it (empty): SYSMSG/SYSRC tell why.
      if (faulted.characterValue != clean.characterValue) {
        EXPECT_EQ(faulted.characterValue, "");
      }
      return;
    }
    const double value = faulted.form == refhost::CallForm::kNone
                             ? static_cast<double>(faulted.returnCode)
                             : faulted.numericValue;
    const double cleanValue = clean.form == refhost::CallForm::kNone
                                  ? static_cast<double>(clean.returnCode)
                                  : clean.numericValue;
    if (value == cleanValue) return;
    const Documented& documented = kDocumented.at(row.call.function);
    const bool listed = std::find(documented.values.begin(), documented.values.end(), value) !=
                        documented.values.end();
    EXPECT_TRUE(listed || (documented.statusCodes && isStatusValue(value)))
        << "value " << value << " is none the function documents";
  }
};

TEST_P(FaultSweep, EveryCallSurvivesEachFaultInTurn) {
  std::map<std::string, uint64_t> runs;
  for (const CorpusCall& row : kCorpus) {
    SCOPED_TRACE(std::string(row.call.function) + " (row " +
                 std::to_string(&row - kCorpus + 1) + ")" + (GetParam() ? ", leaving on 1016" : ""));
    // Without a fault the row gives what the reference promises for it.
    const refhost::CallResult clean = run(row, Fault::kNone, 0).result;
    ++runs[row.call.function];
    if (row.expected != kAnyCount && row.expected != kText) {
      const double value = clean.form == refhost::CallForm::kNone
                               ? static_cast<double>(clean.returnCode)
                               : clean.numericValue;
      EXPECT_EQ(value, row.expected) << describe(clean);
    }
    for (Fault fault : {Fault::kSessionPool, Fault::kStreamAllocator, Fault::kInterfacePool,
                        Fault::kOperation}) {
      for (uint64_t k = 1;; ++k) {
        SCOPED_TRACE(std::string(faultName(fault)) + " failing at " + std::to_string(k));
        RunOutcome outcome = run(row, fault, k);
        ++runs[row.call.function];
        if (outcome.faultFired) expectDocumentedOutcome(row, clean, outcome.result);
        if (!outcome.faultFired || ::testing::Test::HasFailure()) break;
        ASSERT_LT(k, 500u) << "no end to the faults";
      }
    }
  }
  // The host's allocators failing reach the package context and status block: error 1016.
  EXPECT_GT(raised_, 0);
  std::string report = GetParam() ? "fault sweep (host leaves on 1016):" : "fault sweep:";
  for (const auto& [function, count] : runs) {
    report += " " + function + "=" + std::to_string(count);
  }
  report += "; error 1016 in " + std::to_string(raised_) + " runs";
  std::printf("%s\n", report.c_str());
}

INSTANTIATE_TEST_SUITE_P(HostModes, FaultSweep, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LeaveOn1016" : "ReturnOn1016"; });

}  // namespace
}  // namespace testing_support
