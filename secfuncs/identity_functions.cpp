// Listing identities and setting authorizations: METASEC_GETNID and METASEC_SETAUTH.
//
//   GETNID(transaction, repository, n, text2 out, text1 out [, flags [, text3 out [, text4 out]]])
//       n found; -4 bad n; -1 no interface (reported); -2 repository text not resolved (a blank
//       one is resolved too); -3 no list (a failed listing is reported); -5 no n-th entry.
//       Flags reach the server only with exactly six arguments.
//   SETAUTH(transaction, repository, identity text2, identity text1, grant, text P, text Q
//           [, flags])
//       0; -1 no interface; -3 repository text not resolved (reported); the server's status
//       (passed to the host only). Grant: G or g grants (2), D or d denies (1), anything else
//       removes the explicit entry (0).
// The identity list belongs to the object it was listed through (the server frees it); the
// request records of SETAUTH point into the arguments' own buffers.
#include <cstring>

#include "frame/call_frame.h"
#include "frame/status_reporting.h"
#include "secfuncs/functions.h"
#include "secfuncs/security_call.h"

namespace secfuncs {
namespace {

constexpr OpeningRules kGetnidRules{3, NotStartedAt::kNever, true};
constexpr OpeningRules kSetauthRules{0, NotStartedAt::kFirst, false};

int32_t grantCode(char first) {
  const char letter = static_cast<char>(first & ~0x20);
  if (letter == 'G') return 2;
  if (letter == 'D') return 1;
  return 0;
}

void copyPair(CharacterSlot* slot, const TextPair& pair) {
  copyToOutput(slot, pair.text, pair.text == nullptr ? 0 : pair.length);
}

}  // namespace

int32_t metasecGetnid(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kGetnidRules);
  if (!opening.validate()) return 0;
  const int32_t count = frame::argumentCount(frame);
  const int32_t flags = count == 6 ? flagsArgument(frame, 6) : 0;
  if (!opening.connect()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);
  if (!call.chooseRoute(2, kValueRequestFailed, /*blankIsDefault=*/false)) return 0;

  IdentityEntry* list = nullptr;
  StatusCode status = repoListIdentities(call.repository(), call.transaction(), flags, &list);
  if (status != kStatusOk) frame::reportStatus(status);  // and go on with what came back
  if (list == nullptr) {
    call.setValue(kValueResolveFailed);
    return 0;
  }
  const int32_t n = call.validatedInteger();
  IdentityEntry* entry = nthEntry(list, n);
  if (entry == nullptr) {
    call.setValue(kValueNotFound);
    return 0;
  }
  copyPair(frame::characterSlot(frame, 4), entry->texts[1]);
  copyPair(frame::characterSlot(frame, 5), entry->texts[0]);
  if (count > 6) copyPair(frame::characterSlot(frame, 7), entry->texts[2]);
  if (count == 8) copyPair(frame::characterSlot(frame, 8), entry->texts[3]);
  call.setValue(positionAsValue(n));
  return 0;
}

int32_t metasecSetauth(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kSetauthRules);
  if (!opening.validate()) return 0;
  IdentityPairRecord identity;
  AuthorizationRequest request;
  std::memset(&identity, 0, sizeof identity);
  std::memset(&request, 0, sizeof request);
  const int32_t flags = frame::argumentCount(frame) == 8 ? flagsArgument(frame, 8) : 0;
  if (!opening.connect()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);

  const frame::TextArgument text1 = frame::readCharacterInput(frame, 4);
  const frame::TextArgument text2 = frame::readCharacterInput(frame, 3);
  identity.text1 = text1.text;
  identity.length1 = text1.length;
  identity.text2 = text2.text;
  identity.length2 = text2.length;
  const frame::TextArgument permission = frame::readCharacterInput(frame, 6);
  const frame::TextArgument condition = frame::readCharacterInput(frame, 7);
  request.identity = &identity;
  request.grantCode = grantCode(firstCharacter(frame, 5));
  request.permission = permission.text;
  request.permissionLength = permission.length;
  request.condition = condition.text;
  request.conditionLength = condition.length;

  if (!call.chooseRoute(2)) return 0;
  const StatusCode status =
      call.defaultRoute()
          ? setAuthorization(call.interface(), call.transaction(), flags, &request)
          : repoSetAuthorization(call.repository(), call.transaction(), flags, &request);
  if (status != kStatusOk) {
    call.setValue(statusAsValue(status));
    passStatusToHost(status);
    return 0;
  }
  call.setValue(kValueSuccess);
  return 0;
}

}  // namespace secfuncs
