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
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "host/reference_host.h"
#include "mdserver/client_interface.h"
#include "mdserver/repository.h"
#include "mdserver/status_codes.h"
#include "tests/objfuncs/repository_fixture.h"

namespace testing_support {
namespace {

using refhost::Argument;
using refhost::CharacterVariable;

// One argument of a corpus call: a literal text, an output variable of that capacity, or a
// number.
struct Arg {
  enum Kind { kText, kOutput, kNumber } kind;
  const char* text = "";
  int capacity = 0;
  double number = 0;
};
Arg text(const char* t) { return {Arg::kText, t, 0, 0}; }
Arg output(int capacity) { return {Arg::kOutput, "", capacity, 0}; }
Arg number(double n) { return {Arg::kNumber, "", 0, n}; }

struct CorpusCall {
  const char* function;
  std::vector<Arg> args;
};

// Success paths and documented failures of every function built so far.
const CorpusCall kCorpus[] = {
    {"METADATA_RESOLVE", {text("vqsobj:Person?@Name='Smith'"), output(10), output(20)}},
    {"METADATA_RESOLVE", {text("vqsobj:Person?@Name='Nobody'"), output(10), output(20)}},
    {"METADATA_RESOLVE", {text("vqsobj:Person?@Name="), output(10), output(20)}},
    {"METADATA_GETNOBJ", {text("vqsobj:Person?@Name='Smith'"), number(2), output(40)}},
    {"METADATA_GETNOBJ", {text("vqsobj:Person?@Name='Smith'"), number(9), output(40)}},
    {"METADATA_GETNTYP", {number(2), output(20)}},
    {"METADATA_VERSION", {}},
    {"METADATA_PAUSED", {}},
    {"METADATA_PATHOBJ", {text(""), text("/Root/Sales/Customers"), text(""), output(10), output(20)}},
    {"METADATA_PATHOBJ", {text(""), text("Root"), text(""), output(10), output(20)}},
    {"METADATA_NEWOBJ", {text("Person"), output(40), text("New"), text(""),
                         text("vqsobj:Tree\\A5HOME01.TREE0002"), text("Members")}},
    {"METADATA_NEWOBJ", {text("NoSuchType"), output(40)}},
    {"METADATA_DELOBJ", {text("vqsobj:Person\\A5HOME01.PERS0009")}},
    {"METADATA_DELOBJ", {text("vqsobj:Person\\A5HOME01.NOTTHERE")}},
    {"METADATA_PURGE", {text("vqsobj:Person?@Name='Smith'")}},
    {"METADATA_PURGE", {}},
    {"METASEC_BEGTRAN", {text(""), number(0), output(40)}},
    {"METASEC_BEGTRAN", {text("Work"), number(0), output(4)}},
    {"METASEC_ENDTRAN", {text(""), text("T9.A5HOME01"), number(0)}},
};

enum class Fault { kSessionPool, kStreamAllocator, kInterfacePool, kOperation };
const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::kSessionPool: return "session pool";
    case Fault::kStreamAllocator: return "stream allocator";
    case Fault::kInterfacePool: return "interface pool";
    case Fault::kOperation: return "interface operation";
  }
  return "?";
}

struct RunOutcome {
  bool faultFired = false;
};

class FaultSweep : public ::testing::TestWithParam<bool> {
 protected:
  int raised_ = 0;  // runs that met host error 1016
  // One run in a fresh host and repository: warm-up calls as the corpus row needs them, then
  // the row's call with the fault armed at k.
  RunOutcome run(const CorpusCall& call, Fault fault, uint64_t k) {
    auto repository = mdserver::Repository::open("");
    EXPECT_TRUE(repository->importSeedText(kSeed, "sweep seed").ok());
    refhost::HostConfig config;
    config.logFile = nullptr;
    config.leaveCallOnOutOfMemory = GetParam();
    auto host = std::make_unique<refhost::ReferenceHost>(config);
    host->load(RUX_BUILD_DIR "/lib/objfuncs.so");
    host->load(RUX_BUILD_DIR "/lib/secfuncs.so");

    uint64_t poolRequests = 0, operationCalls = 0;
    bool fired = false;
    bool armed = true;  // only the corpus call meets the fault, not the clean-up after it
    std::vector<mdserver::PoolCounts> released;
    host->setMetadataProvider([&](HostSession*, void** out) {
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
    const refhost::AllocatorStats sessionBefore = host->sessionPoolTotals();
    const refhost::AllocatorStats streamBefore = host->allocatorStats(host->streamAllocator());
    if (fault == Fault::kSessionPool) host->failSessionPoolsAt(k);
    if (fault == Fault::kStreamAllocator) host->failAllocationAt(host->streamAllocator(), k);

    std::vector<std::unique_ptr<CharacterVariable>> variables;
    std::vector<Argument> args;
    for (const Arg& a : call.args) {
      if (a.kind == Arg::kText) args.push_back(Argument::literal(a.text));
      if (a.kind == Arg::kNumber) args.push_back(Argument::numeric(a.number));
      if (a.kind == Arg::kOutput) {
        variables.push_back(std::make_unique<CharacterVariable>(
            a.capacity, std::string(static_cast<size_t>(a.capacity), ' ')));
        args.push_back(Argument::of(*variables.back()));
      }
    }
    refhost::CallResult result = host->call(session, call.function, args);
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
    if (result.hostError == 0 || !GetParam()) {
      // A call that returned by itself delivered a number (never the missing value it started
      // with), unless it ended with error 1016 in the mode that lets it return.
      if (result.hostError == 0) EXPECT_FALSE(std::isnan(result.numericValue));
    }
    // Drop the connection: every block the packages took from the interface pool must be back.
    host->call(session, "METADATA_PURGE", {});
    host->endSession(session);
    for (const mdserver::PoolCounts& counts : released) {
      EXPECT_EQ(counts.blocksOutstanding, 0u);
      EXPECT_EQ(counts.invalidReleases, 0u);
    }
    EXPECT_EQ(host->allocatorStats(host->streamAllocator()).badReleases, 0u);
    host.reset();
    return {fired};
  }
};

TEST_P(FaultSweep, EveryCallSurvivesEachFaultInTurn) {
  std::map<std::string, uint64_t> runs;
  for (const CorpusCall& call : kCorpus) {
    for (Fault fault : {Fault::kSessionPool, Fault::kStreamAllocator, Fault::kInterfacePool,
                        Fault::kOperation}) {
      for (uint64_t k = 1;; ++k) {
        SCOPED_TRACE(std::string(call.function) + ", " + faultName(fault) + " failing at " +
                     std::to_string(k) + (GetParam() ? ", leaving on 1016" : ""));
        RunOutcome outcome = run(call, fault, k);
        ++runs[call.function];
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
