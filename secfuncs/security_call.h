// The steps every METASEC_* callback shares: the common opening (numeric check, the value
// stored before the work, reset status, connection), the transaction handle rebuilt from a
// transaction text, the two routes to the server (the interface itself, or a repository handle
// resolved from a repository text), copying texts to outputs and walking server lists.
//
// Usage: a callback builds a SecurityOpening with its OpeningRules and calls open() (or
// validate() and connect() when it checks something in between); only when they return true
// does it build the SecurityCall that does its own work. The opening holds nothing that needs
// releasing: a host may leave the call from inside hostRaiseError (error 1016, when reset
// status cannot create the status block), and no object with a destructor may be alive then.
// Once the opening has connected, the status block exists and nothing later in the call raises.
// The SecurityCall's destructor releases what the call still owns: a rebuilt transaction
// handle not handed to an end operation, and a resolved repository list the cache does not
// hold. Every failure on the way stores the function's value; which ones are reported is noted
// below.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

#include "frame/host_abi.h"
#include "mdaccess/connection_cache.h"
#include "mdaccess/md_abi.h"

namespace secfuncs {

// Values shared by the security functions.
inline constexpr double kValueSuccess = 0;
inline constexpr double kValueNoInterface = -1;
inline constexpr double kValueRequestFailed = -2;
inline constexpr double kValueResolveFailed = -3;
inline constexpr double kValueInvalidNumber = -4;
inline constexpr double kValueNotFound = -5;
inline constexpr double kValueNotStarted = -99;

// Where a function stores its "not started" value (-99 for most) relative to the opening steps.
enum class NotStartedAt { kNever, kFirst, kAfterValidation, kAfterConnection };

struct OpeningRules {
  int validatedArgument;        // numeric argument checked before anything else; 0: none
  NotStartedAt notStartedAt;
  bool reportNoInterface;       // report get connection's status when it gives no interface
  double notStartedValue = kValueNotStarted;
};

// The function value of a status code returned as the result: the exact signed 32-bit value.
inline double statusAsValue(StatusCode code) {
  return static_cast<double>(static_cast<int32_t>(code));
}
// A found position n as the result: converted through single precision.
inline double positionAsValue(int32_t n) { return static_cast<double>(static_cast<float>(n)); }

// A numeric flags argument, truncated to 32 bits; 0 when the host supplies no address.
int32_t flagsArgument(CallFrame* frame, int argument);
// The first character of a character argument, 0 when it has none.
char firstCharacter(CallFrame* frame, int argument);

// Hands a failing server status to the host's own status report, without touching SYSMSG/SYSRC.
void passStatusToHost(StatusCode code);

// rebuild transaction handle: null for a blank text. Otherwise a 40-byte record of md's pool
// owned by md, with a copy of the slot's whole current length (untrimmed, low 32 bits) plus one
// spare byte when that length is not 0. Null as well when an allocation fails (nothing is kept).
TransactionHandle* rebuildTransactionHandle(MetadataInterface* md, const CharacterSlot* slot);
// release transaction handle: attachment, text and record, each through the owner's pool.
void releaseTransactionHandle(TransactionHandle* handle);

// copy to output: blank-fills the capacity, copies min(capacity, length) bytes (signed), then
// sets the length to the capacity unless padToCapacity is false.
void copyToOutput(CharacterSlot* slot, const char* text, int64_t length, bool padToCapacity = true);
// Blank-fills the whole capacity; the current length is left as it is.
void blankFill(CharacterSlot* slot);

// n-th entry walk over a list linked by `next`: the element numbered n (the head is 1), or null
// when n < 1 or the list is shorter.
template <typename Entry>
Entry* nthEntry(Entry* head, int32_t n) {
  int32_t position = 1;
  for (Entry* entry = head; entry != nullptr; entry = entry->next, ++position) {
    if (position == n) return entry;
  }
  return nullptr;
}

// The opening steps of a security call; see the usage above.
class SecurityOpening {
 public:
  SecurityOpening(CallFrame* frame, double* result, OpeningRules rules)
      : frame_(frame), result_(result), rules_(rules) {}

  // The whole common opening: validate() then connect().
  bool open() { return validate() && connect(); }
  // Opening step 1 (the numeric check: -4 and nothing else on failure) and the not-started
  // value where it comes first or after the check.
  bool validate();
  // Reset status (which binds the host component), get connection (-1, reported only when the
  // rules say so), and the not-started value where it comes after the connection. False when
  // the function is finished.
  bool connect();

  int32_t validatedInteger() const { return validated_; }
  void setValue(double value) { *result_ = value; }

 private:
  friend class SecurityCall;

  CallFrame* frame_;
  double* result_;
  OpeningRules rules_;
  int32_t validated_ = 0;
  HostSession* session_ = nullptr;
  MetadataInterface* interface_ = nullptr;
};
static_assert(std::is_trivially_destructible_v<SecurityOpening>,
              "alive when the host may leave the call from inside hostRaiseError");

class SecurityCall {
 public:
  // From an opening whose connect() returned true.
  explicit SecurityCall(const SecurityOpening& opening)
      : frame_(opening.frame_),
        result_(opening.result_),
        validated_(opening.validated_),
        session_(opening.session_),
        interface_(opening.interface_) {}
  ~SecurityCall();
  SecurityCall(const SecurityCall&) = delete;
  SecurityCall& operator=(const SecurityCall&) = delete;

  // The validated numeric argument, truncated to 32 bits (0 when the rules name none).
  int32_t validatedInteger() const { return validated_; }
  MetadataInterface* interface() const { return interface_; }
  HostSession* session() const { return session_; }
  void setValue(double value) { *result_ = value; }

  // Rebuilds the call's transaction handle from a character argument; the call releases it on
  // return unless handOverTransaction() gave it away.
  TransactionHandle* rebuildTransaction(int argument);
  TransactionHandle* transaction() const { return transaction_; }
  // For operations that take the handle and free it themselves (the end operations).
  TransactionHandle* handOverTransaction();

  // Chooses the route from a repository argument: blank gives the default route (unless
  // blankIsDefault is false: then the blank text is resolved with length 0 too); otherwise the
  // text (trimmed) is resolved to a repository handle. Any resolution failure is reported and
  // stores failureValue; false then.
  bool chooseRoute(int argument, double failureValue = kValueResolveFailed,
                   bool blankIsDefault = true);
  bool defaultRoute() const { return repository_ == nullptr; }
  MetadataObject* repository() const { return repository_; }

 private:
  CallFrame* frame_;
  double* result_;
  int32_t validated_;
  HostSession* session_;
  MetadataInterface* interface_;
  TransactionHandle* transaction_ = nullptr;
  MetadataObject* repository_ = nullptr;
  mdaccess::Resolution resolution_{};
};

}  // namespace secfuncs
