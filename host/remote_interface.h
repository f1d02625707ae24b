// A metadata client interface whose operations run on a network server (remote_connection.h):
// the same record, members, object operation table, pool ownership and status codes as the
// repository's own interface, so the packages cannot tell the difference.
//
// Ownership, as in-process:
//  - Object lists from resolveUri, resolveInRepository and findByPath are the caller's
//    (freeObjectList or the list's slot 0); lists outstanding at release are freed then.
//  - Results of an object's operations (getAttribute, listAttributes, listProperties,
//    listAssociationNames, getAssociation, getProperty) belong to the object, freed with it;
//    asking again for the same result (same operation, same name) frees the earlier one after
//    the new one is built, so a new list never has the earlier head. Lists are the exception:
//    while the server answers as it did, asking again hands out the same list (same head).
//  - listRepositories' list is the interface's until the next call or the release.
//  - getAppProperty's text and getCredentials' texts are the caller's (freeText,
//    freeCredentials); getNamespace's namespace is freed with releaseNamespace.
// Every block comes from the interface's own pool, which counts what is outstanding.
//
// Every member and slot of the in-process interface is served: resolution, listings,
// attributes, properties, associations, creation and deletion, server facts, application
// properties, identities, authorizations, templates, logins and security transactions (whose
// staged changes the server keeps with the session).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "host/remote_connection.h"
#include "mdaccess/md_abi.h"

namespace refhost {

struct RemoteReleaseSummary {
  MetadataInterface* released = nullptr;  // the interface, about to be freed
  uint64_t blocksOutstanding = 0;  // before the interface freed what packages left
  uint64_t bytesOutstanding = 0;
  std::map<std::string, uint64_t> callCounts;
};

struct RemoteInterfaceHooks {
  // Every failure with the server's text (not "no match", which programs meet routinely).
  std::function<void(StatusCode, const std::string&)> failure;
  // Called once from releaseInterface, before the interface frees itself.
  std::function<void(const RemoteReleaseSummary&)> released;
};

// A new interface over connection (which must outlive it), released through member 29.
MetadataInterface* openRemoteInterface(RemoteConnection& connection, RemoteInterfaceHooks hooks);
// Calls per operation and pool blocks and bytes outstanding of a live remote interface.
std::map<std::string, uint64_t> remoteCallCounts(MetadataInterface* md);
std::pair<uint64_t, uint64_t> remotePoolOutstanding(MetadataInterface* md);
// Releases of blocks the pool never handed out (or took back already): a package's double free.
uint64_t remotePoolInvalidReleases(MetadataInterface* md);
// For tests of the failure paths: pool request k (counted from now) fails; 0 turns that off.
void remoteFailAllocationAt(MetadataInterface* md, uint64_t k);
uint64_t remoteFailedAllocations(MetadataInterface* md);
// The server's text of the last operation that did not succeed ("no match" included), as the
// in-process interface keeps it.
std::string remoteLastErrorText(MetadataInterface* md);

}  // namespace refhost
