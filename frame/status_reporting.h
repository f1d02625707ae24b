// Status reporting: how every function tells the calling program what went wrong. SYSMSG holds
// the message text of the last reported status code, SYSRC the code as a number; both are cleared
// at the start of each call (reset status) and set by report status.
//
// Contract: both sequences work on the session of the current task. When the package context or
// the status block cannot be created they raise host error 1016; the reference host cannot unwind
// the package, so resetStatus() then returns false and the caller must return to the host at once.
#pragma once

#include <cstdint>

#include "frame/host_abi.h"

namespace frame {

inline constexpr int32_t kStatusMessageCapacity = 512;

// One per session, allocated from the session pool (tag 8198) on first need and kept in the
// package context until the session pool goes away.
struct StatusBlock {
  char message[kStatusMessageCapacity];  // host catalogue text of the last status, not terminated
  int32_t length;                        // bytes of message in use, 0..512
};
static_assert(offsetof(StatusBlock, length) == 512);
static_assert(sizeof(StatusBlock) == 516);

// The number SYSRC receives for a status code: the code read as a signed 32-bit integer, rounded
// to single precision and widened again. Programs compare SYSRC with values produced this way,
// so codes above 2^24 in magnitude deliberately lose their low bits.
double statusCodeAsNumber(StatusCode code);

// The status block of `session`, creating the package context and the block when needed.
// Null after host error 1016 has been raised.
struct StatusBlock* locateStatusBlock(HostSession* session);

// Clears the status block, sets SYSMSG empty and SYSRC to 0, and binds the host component that
// serves the metadata client interface. False when host error 1016 was raised (nothing was set).
bool resetStatus();

// Records `code`: SYSMSG gets its catalogue text (empty for 0), SYSRC the code as a number.
void reportStatus(StatusCode code);

}  // namespace frame
