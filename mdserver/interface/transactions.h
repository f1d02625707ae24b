// Repository handles and security transactions of the metadata client interface.
//
// Repository handles. resolveUri gives a repository handle (a one-element object list of type
// "Repository", identifier and name of the repository, serverKey its key) for
//   - "vqsobj:Repository\X"   (scheme and type without regard to case), and
//   - a bare text without ':' '\' '?' (a text that can never be an object URI),
// when X, or the bare text, is the identifier or the name of a repository. Every other text,
// and a text of these shapes that names no repository, resolves exactly as before. A handle's
// operation table has slot 0 (release), the object slots 2..10 of an ordinary object and the
// security slots 12..19 (securitySlot below), which ordinary objects carry as well.
//
// Transactions (members 86, 87; slots 18, 19):
//   beginTransaction(interface, repository text, length, flags, out handle): empty text = the
//     default repository, else a repository's identifier or name (unknown: 0x80172132).
//   repoBeginTransaction(handle, flags, out handle): the handle's repository.
//   endTransaction(interface, handle, repository text, length, flag) and
//   repoEndTransaction(repository handle, handle, flag): end the open transaction whose text the
//     handle carries, if it belongs to that repository; else kStatusUnknownTransaction. A
//     commit the storage refuses (busy, failing) applies nothing, answers with the storage's
//     status and leaves the transaction open with what it staged, for another end.
// Ownership: the handle that a begin delivers is the caller's (a 40-byte pool block, its text a
// pool block of length + 1 bytes, NUL-terminated; no attachment). An end operation takes the
// handle it is given and frees its attachment, text and record through the pool of the handle's
// owner (this interface's pool when the owner is null) on every path, failures and injected
// faults included: the caller must not touch it afterwards. A begin that fails delivers null.
#pragma once

#include <string_view>

#include "mdaccess/md_abi.h"

namespace mdserver {

class ClientInterface;

// True when text is a repository reference (see above) and it was answered: *status is then the
// outcome and *out the handle list on success. False: resolve the text as an object URI.
bool resolveRepositoryReference(ClientInterface* ci, std::string_view text, MetadataObject** out,
                                StatusCode* status);

void installTransactionMembers(MetadataInterface& abi);

// Slots 12..19 of ordinary objects and repository handles alike: identities and transactions
// act on the object's repository, authorizations on the object (or the repository, through a
// handle). The template slots 13, 15 and 16 are those of template_operations.cpp.
void* securitySlot(int slot);
void* templateOperationSlot(int slot);
void installTemplateMembers(MetadataInterface& abi);
// The served security slots 12, 14 and 17 (security_operations.cpp).
void* securityOperationSlot(int slot);
void installSecurityMembers(MetadataInterface& abi);

// The operation table of repository handles.
void* const* repositoryOperationTable();

}  // namespace mdserver
