// The security functions' room in the connection cache record: one cached authorization list
// keyed by its reference text, and the look-up of a cached repository handle by reference.
// They work on the same record and with the same levels as resolveObjectUri.
//
// The listing and release operations of authorizations are passed in by the caller, so this code
// needs nothing of the security records of the interface.
#pragma once

#include <cstdint>

#include "frame/host_abi.h"
#include "mdaccess/md_abi.h"

namespace mdaccess {

// The slot's list when it holds a text equal to the reference (equal texts), else null.
void* lookUpAuthorizationSlot(HostSession* session, const char* text, int32_t length);

// Asks the server for a reference's authorizations; request is the caller's own data.
using AuthorizationLister = StatusCode (*)(MetadataInterface* md, const char* reference,
                                           int32_t referenceLength, void* request, void** listOut);
using AuthorizationReleaser = void (*)(MetadataInterface* md, void* list);

// Makes the slot on first use (0x80000803 when it cannot). A slot already holding the reference
// answers without the server. Otherwise a different list it holds is released, the lister is
// called, and on success the reference is copied into the slot with the new list (0x80000803,
// the new list released, when the copy cannot be made). The lister's status is returned as is.
StatusCode fillAuthorizationSlot(HostSession* session, const char* text, int32_t length,
                                 AuthorizationLister lister, AuthorizationReleaser releaser,
                                 void* request, void** listOut);

// Frees the slot's text and forgets its list without releasing it (a repository handle owns the
// list from now on).
void detachAuthorizationSlot(HostSession* session);

// The object list of the newest resolution entry whose text equals the reference (trailing
// blanks dropped from texts longer than one character). Never calls the interface.
MetadataObject* findCachedRepository(HostSession* session, const char* text, int32_t length);

}  // namespace mdaccess
