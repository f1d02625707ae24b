// The shared steps of the security functions; contracts in security_call.h.
#include "secfuncs/security_call.h"

#include <cstring>
#include <new>

#include "frame/call_frame.h"
#include "frame/host_services.h"
#include "frame/module_globals.h"
#include "frame/status_reporting.h"

namespace secfuncs {

int32_t flagsArgument(CallFrame* frame, int argument) {
  const double* value = frame::numericAddress(frame, argument);
  return value == nullptr ? 0 : frame::truncatedInteger(*value);
}

char firstCharacter(CallFrame* frame, int argument) {
  const CharacterSlot* slot = frame::characterSlot(frame, argument);
  if (slot == nullptr || slot->text == nullptr || static_cast<int32_t>(slot->length) <= 0) return 0;
  return slot->text[0];
}

void passStatusToHost(StatusCode code) { hostReportStatus(frame::hostInterface(), code); }

TransactionHandle* rebuildTransactionHandle(MetadataInterface* md, const CharacterSlot* slot) {
  if (slot == nullptr) return nullptr;  // an absent argument is a blank one
  const auto length = static_cast<int32_t>(static_cast<uint32_t>(slot->length));
  if (frame::trimmedLength(slot->text, length) == 0) return nullptr;
  auto* handle = static_cast<TransactionHandle*>(poolAllocate(md, sizeof(TransactionHandle)));
  if (handle == nullptr) return nullptr;
  handle->owner = md;
  // trimmedLength() > 0 implies length > 0 here.
  auto* text = static_cast<char*>(poolAllocate(md, static_cast<uint64_t>(length) + 1));
  if (text == nullptr) {
    // The function goes on without a handle; the record alone must not stay in the pool.
    poolFree(md, handle);
    return nullptr;
  }
  std::memcpy(text, slot->text, static_cast<size_t>(length));
  handle->text = text;
  handle->length = length;
  return handle;
}

void releaseTransactionHandle(TransactionHandle* handle) {
  if (handle == nullptr) return;
  MetadataInterface* owner = handle->owner;
  if (handle->attachment != nullptr) poolFree(owner, handle->attachment);
  if (handle->text != nullptr) poolFree(owner, handle->text);
  poolFree(owner, handle);
}

void copyToOutput(CharacterSlot* slot, const char* text, int64_t length, bool padToCapacity) {
  frame::writeCharacterOutput(slot, text, length);
  if (padToCapacity) frame::padOutput(slot);
}

void blankFill(CharacterSlot* slot) {
  if (slot != nullptr && slot->capacity > 0) std::memset(slot->text, ' ', static_cast<size_t>(slot->capacity));
}

SecurityCall::~SecurityCall() {
  releaseTransactionHandle(transaction_);
  // A repository list the cache does not hold (not stored, or delivered with a failure).
  if (resolution_.callerOwnsList && resolution_.objects != nullptr) {
    releaseObjectList(resolution_.objects);
  }
  if (resolution_.interfaceToRelease != nullptr) releaseInterface(resolution_.interfaceToRelease);
}

bool SecurityOpening::validate() {
  if (rules_.notStartedAt == NotStartedAt::kFirst) *result_ = rules_.notStartedValue;
  if (rules_.validatedArgument != 0) {
    // An invalid number ends the call before anything else: SYSMSG and SYSRC keep what the
    // previous call left in them.
    std::optional<int32_t> value = frame::readNumericIndex(frame_, rules_.validatedArgument);
    if (!value) {
      *result_ = kValueInvalidNumber;
      return false;
    }
    validated_ = *value;
  }
  if (rules_.notStartedAt == NotStartedAt::kAfterValidation) *result_ = rules_.notStartedValue;
  return true;
}

bool SecurityOpening::connect() {
  if (!frame::resetStatus()) return false;  // host error 1016 was raised
  session_ = frame::currentSession();
  mdaccess::Connection connection = mdaccess::getConnection(session_);
  if (connection.status != kStatusOk || connection.interface == nullptr) {
    if (rules_.reportNoInterface) frame::reportStatus(connection.status);
    *result_ = kValueNoInterface;
    return false;
  }
  interface_ = connection.interface;
  if (rules_.notStartedAt == NotStartedAt::kAfterConnection) *result_ = rules_.notStartedValue;
  return true;
}

TransactionHandle* SecurityCall::rebuildTransaction(int argument) {
  releaseTransactionHandle(transaction_);
  transaction_ = rebuildTransactionHandle(interface_, frame::characterSlot(frame_, argument));
  return transaction_;
}

TransactionHandle* SecurityCall::handOverTransaction() {
  TransactionHandle* handle = transaction_;
  transaction_ = nullptr;
  return handle;
}

bool SecurityCall::chooseRoute(int argument, double failureValue, bool blankIsDefault) {
  frame::TextArgument text = frame::readCharacterInput(frame_, argument);
  if (text.length == 0 && blankIsDefault) return true;  // default route
  // Built right in the member: a copy of the returned record would read it back in wider
  // words than it was written in, which stalls the processor on every call.
  ::new (static_cast<void*>(&resolution_))
      mdaccess::Resolution(mdaccess::resolveObjectUri(session_, text.text, text.length));
  StatusCode status = resolution_.status;
  // A success without a list cannot name a repository; it counts as no match.
  if (status == kStatusOk && resolution_.objects == nullptr) status = kStatusNoMatch;
  if (status != kStatusOk) {
    frame::reportStatus(status);
    *result_ = failureValue;
    return false;
  }
  repository_ = resolution_.objects;
  return true;
}

}  // namespace secfuncs
