#include "mdserver/base/status_codes.h"

namespace mdserver {

const char* statusText(StatusCode status) {
  switch (status) {
    case kStatusOk: return "success";
    case kStatusNoMemory: return "no memory in the interface pool";
    case kStatusNoMatch: return "no object matches the object URI";
    case kStatusMalformedUri: return "malformed object URI";
    case kStatusUnknownType: return "unknown metadata type";
    case kStatusObjectNotFound: return "object not found";
    case kStatusInvalidArgument: return "invalid argument";
    case kStatusStorageFailure: return "repository storage failure";
    case kStatusNoSuchAppProperty: return "no such application property";
    case kStatusDuplicate: return "identifier or name already in use";
    case kStatusUnknownNamespace: return "unknown namespace";
    case kStatusNoSuchAssociation: return "the object has no such association";
    case kStatusAlreadyAssociated: return "target already in the association";
    case kStatusUnknownTransaction: return "no open transaction with that text in that repository";
    case kStatusNotARepository: return "the object is not a repository";
    case kStatusNotServed: return "the repository does not serve this operation yet";
    case kStatusLoginFailed: return "login failed: unknown user or wrong password";
    case kStatusLoginRequired: return "the repository requires a login";
    case kStatusWriteDenied: return "the user may not change this object";
    case kStatusDeleteDenied: return "the user may not delete this object";
    case kStatusAdministerDenied: return "the user may not change security here";
    case kStatusUnknownIdentity: return "unknown identity";
    case kStatusUnknownPermission: return "unknown permission";
    case kStatusQueryTooCostly: return "the query needs more work than the repository allows";
    case kStatusUnknownTemplate: return "unknown access control template";
    case kStatusTemplateApplied: return "the template is applied there already";
    case kStatusTemplateNotApplied: return "the template is not applied there";
    case kStatusTemplateNeedsName: return "an access control template needs a name";
    case kStatusMalformedPath: return "malformed folder path";
    case kStatusUnknownRepository: return "unknown repository";
    default: return "unknown status";
  }
}

}  // namespace mdserver
