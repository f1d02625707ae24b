// Beginning and ending security transactions: METASEC_BEGTRAN and METASEC_ENDTRAN.
//
//   BEGTRAN(repository, flags, text out)   0; -4 bad flags; -1 no interface; -3 repository text
//                                          not resolved; -2 text longer than the output (the
//                                          transaction is ended again); the server's status
//   ENDTRAN(repository, text, flag)        0; -4 bad flag; -5 blank text; -1; -3; the server's
//                                          status
// A blank repository selects the interface's own operations, any other text the operations of
// the repository handle it resolves to. The transaction lives on the server between the two
// calls; the package keeps nothing but the text in the program's variable.
//
// Ownership: the handle a begin delivers is released here once its text is copied out. A handle
// given to an end operation belongs to that operation, which frees it.
#include "frame/call_frame.h"
#include "frame/status_reporting.h"
#include "secfuncs/functions.h"
#include "secfuncs/security_call.h"

namespace secfuncs {
namespace {

constexpr StatusCode kTextLongerThanOutput = 0x8017210Bu;
constexpr StatusCode kTransactionTextBlank = 0x8017210Cu;
// The end flag with which a transaction whose text cannot be delivered is ended at once.
constexpr int32_t kEndFlagAbandon = 2;

constexpr OpeningRules kBegtranRules{2, NotStartedAt::kAfterValidation, false};
constexpr OpeningRules kEndtranRules{3, NotStartedAt::kAfterValidation, false};

// The end operation of the route the call chose; it takes the handle in every case.
StatusCode endOnRoute(const SecurityCall& call, TransactionHandle* handle, int32_t flag) {
  if (call.defaultRoute()) return endTransaction(call.interface(), handle, "", 0, flag);
  return repoEndTransaction(call.repository(), handle, flag);
}

}  // namespace

int32_t metasecBegtran(CallFrame* frame, double* result) {
  CharacterSlot* output = frame::characterSlot(frame, 3);
  // Blanked before anything else, so even a refused flag leaves no stale transaction text.
  blankFill(output);

  SecurityOpening opening(frame, result, kBegtranRules);
  if (!opening.open()) return 0;
  SecurityCall call(opening);
  if (!call.chooseRoute(1)) return 0;

  TransactionHandle* handle = nullptr;
  const int32_t flags = call.validatedInteger();
  StatusCode status = call.defaultRoute()
                          ? beginTransaction(call.interface(), "", 0, flags, &handle)
                          : repoBeginTransaction(call.repository(), flags, &handle);
  if (status != kStatusOk) {
    // A handle delivered with a failure has no text anyone will see: nothing else could free it.
    releaseTransactionHandle(handle);
    call.setValue(statusAsValue(status));
    passStatusToHost(status);
    return 0;
  }
  if (handle == nullptr) {  // success without a transaction: nothing to hand to the program
    call.setValue(kValueRequestFailed);
    return 0;
  }
  call.setValue(kValueSuccess);

  // An absent output has no room at all: the transaction could never be named again either.
  const int64_t capacity = output != nullptr ? output->capacity : 0;
  if (handle->length > capacity) {
    // The program could never name this transaction again: end it now, on the same route.
    endOnRoute(call, handle, kEndFlagAbandon);
    call.setValue(kValueRequestFailed);
    frame::reportStatus(kTextLongerThanOutput);
    return 0;
  }
  // The variable keeps the transaction text's own length, not widened to its capacity.
  copyToOutput(output, handle->text, handle->length, /*padToCapacity=*/false);
  releaseTransactionHandle(handle);
  return 0;
}

int32_t metasecEndtran(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kEndtranRules);
  if (!opening.validate()) return 0;
  // Checked before status is reset: this report replaces whatever the last call left.
  if (frame::readCharacterInput(frame, 2).length == 0) {
    opening.setValue(kValueNotFound);
    frame::reportStatus(kTransactionTextBlank);
    return 0;
  }
  if (!opening.connect()) return 0;
  SecurityCall call(opening);

  call.rebuildTransaction(2);
  // Should the repository not resolve, the call still owns the handle and releases it.
  if (!call.chooseRoute(1)) return 0;

  StatusCode status = endOnRoute(call, call.handOverTransaction(), call.validatedInteger());
  if (status != kStatusOk) {
    call.setValue(statusAsValue(status));
    passStatusToHost(status);
    return 0;
  }
  call.setValue(kValueSuccess);
  return 0;
}

}  // namespace secfuncs
