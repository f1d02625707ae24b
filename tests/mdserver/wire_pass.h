// The repository tests through the wire: with MDSERVER_TEST_BACKEND=remote (a third CTest entry)
// every interface a test opens is the host's remote interface, logged in over TLS to a server
// this process runs over the test's own repository (on 127.0.0.1, a port the system chooses, a
// certificate made by the openssl command). Packages must not be able to tell the difference:
// the same statuses, texts, ownership, transactions and decisions as in-process.
//
// What does not exist over the network: the local administrator. Where a test opens the
// trusting form (no principal), the sample's administrator logs in instead (kWireAdministrator);
// tests about internals the wire cannot reach (injected faults, a failing pool, the repository's
// own structures) skip in this pass and say why.
#pragma once

#include <cstdint>
#include <string>

#include "mdaccess/md_abi.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/security_types.h"

#include <gtest/gtest.h>

namespace mdserver::testing {

// True in the pass through the wire.
bool wirePass();

// The sample's administrator (in the Administrators group only: Administer on every
// repository, and Read on the tables the analysts are denied).
inline const Credentials kWireAdministrator{"chen", "chen.pass"};

// An interface for `credentials` over `repository`. In-process: openInterface with the
// principal, or the trusting form (the local administrator) when principal is null. Through the
// wire: the user logs in with the password (the sample's administrator where principal is
// null), and the server computes the principal from that login. Null, with a test failure
// saying why, when the server does not start or the login is refused.
MetadataInterface* openTestInterface(Repository& repository, const Credentials& credentials,
                                     const Principal* principal = nullptr);
// The credentials an interface opened for `credentials` without a principal hands to packages.
Credentials trustedCredentials(const Credentials& credentials);

// What tests read beyond the ABI, for an interface of either kind.
std::string lastErrorText(MetadataInterface* md);
uint64_t blocksOutstanding(MetadataInterface* md);
uint64_t invalidReleases(MetadataInterface* md);
uint64_t callCount(MetadataInterface* md, const std::string& operation);
// Pool request k (counted from now) fails; 0: none does. And how many have failed so far.
void failAllocationAt(MetadataInterface* md, uint64_t k);
uint64_t failedAllocations(MetadataInterface* md);
// The in-process interface behind md; null for one through the wire.
ClientInterface* localInterface(MetadataInterface* md);

}  // namespace mdserver::testing

// Skips the running test in the pass through the wire, saying why.
#define SKIP_THROUGH_THE_WIRE(why)                                        \
  do {                                                                    \
    if (::mdserver::testing::wirePass()) GTEST_SKIP() << "through the wire: " << why; \
  } while (0)

namespace mdserver::testing {

// Tests of the repository's own structures (seed parsing, tables, the compiler, decisions asked
// directly), which never go through an interface: the pass through the wire skips them.
class RepositoryInternalsTest : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_THROUGH_THE_WIRE("never goes through an interface"); }
};

}  // namespace mdserver::testing
