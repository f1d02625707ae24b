// Status codes the metadata repository returns through the metadata client interface, beside the
// shared ones of frame/host_abi.h (success, no memory, no match). All sit in the metadata module
// (740) so the host's message catalogue can give each a text.
#pragma once

#include "frame/host_abi.h"

namespace mdserver {

inline constexpr StatusCode kStatusMalformedUri = 0x801720DFu;       // object URI or query
inline constexpr StatusCode kStatusUnknownType = 0x801720E0u;        // type not in the namespace
inline constexpr StatusCode kStatusObjectNotFound = 0x801720E1u;     // object gone or never was
inline constexpr StatusCode kStatusInvalidArgument = 0x801720E2u;    // null or malformed argument
inline constexpr StatusCode kStatusStorageFailure = 0x801720E3u;     // SQLite reported an error
inline constexpr StatusCode kStatusNoSuchAppProperty = 0x801720E4u;  // getAppProperty found none
inline constexpr StatusCode kStatusDuplicate = 0x801720E5u;          // identifier or name taken
inline constexpr StatusCode kStatusUnknownNamespace = 0x801720E6u;   // getNamespace name
inline constexpr StatusCode kStatusNoSuchAssociation = 0x801720E7u;  // deleteAssociation: none
inline constexpr StatusCode kStatusAlreadyAssociated = 0x801720E8u;  // Append of a present target
inline constexpr StatusCode kStatusUnknownTransaction = 0x801720E9u;  // no such open transaction
inline constexpr StatusCode kStatusNotARepository = 0x801720EAu;      // repository slot of an object
inline constexpr StatusCode kStatusNotServed = 0x801720EBu;           // security slot not served yet
// The security model (security_model.h): refusals name what was refused.
inline constexpr StatusCode kStatusLoginFailed = 0x80172150u;        // unknown user or password
inline constexpr StatusCode kStatusLoginRequired = 0x80172151u;      // no user, login required
inline constexpr StatusCode kStatusWriteDenied = 0x80172152u;        // no Write on the object
inline constexpr StatusCode kStatusDeleteDenied = 0x80172153u;       // no Delete on the object
inline constexpr StatusCode kStatusAdministerDenied = 0x80172154u;   // security change refused
inline constexpr StatusCode kStatusUnknownIdentity = 0x80172155u;    // setAuthorization identity
inline constexpr StatusCode kStatusUnknownPermission = 0x80172156u;  // permission not defined
inline constexpr StatusCode kStatusQueryTooCostly = 0x801720FAu;    // query over its work limit
inline constexpr StatusCode kStatusUnknownTemplate = 0x80172157u;    // no such template
inline constexpr StatusCode kStatusTemplateApplied = 0x80172158u;    // applied there already
inline constexpr StatusCode kStatusTemplateNotApplied = 0x80172159u; // remove: not applied there
inline constexpr StatusCode kStatusTemplateNeedsName = 0x8017215Au;  // newAct/rename without a name
inline constexpr StatusCode kStatusMalformedPath = 0x80172131u;      // findByPath: bad folder path
inline constexpr StatusCode kStatusUnknownRepository = 0x80172132u;  // no such repository

// A short English text per code, for tools and logs (the host's catalogue has its own).
const char* statusText(StatusCode status);

}  // namespace mdserver
