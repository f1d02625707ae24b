// The object function frame shared by the METADATA_* callbacks.
#include "objfuncs/object_frame.h"

#include <new>
#include <type_traits>

#include "frame/call_frame.h"
#include "frame/module_globals.h"
#include "frame/status_reporting.h"

namespace objfuncs {

// The steps that may end in host error 1016 (reset status) run in the constructor: a host that
// leaves the call from inside hostRaiseError then leaves before this object exists, so no
// destructor of the package is pending across the jump. What is built by then must need no
// destructor either; once reset status has passed, the status block exists and nothing later in
// the call raises.
static_assert(std::is_trivially_destructible_v<FrameRules> &&
                  std::is_trivially_destructible_v<mdaccess::Resolution>,
              "members built before reset status may be abandoned by the host's jump");
ObjectCall::ObjectCall(CallFrame* frame, double* result, FrameRules rules)
    : frame_(frame), result_(result), rules_(rules) {
  started_ = start();
}

bool ObjectCall::start() {
  // An invalid index ends the call before anything else, so SYSMSG and SYSRC keep what the
  // previous call left in them.
  if (rules_.indexArgument != 0) {
    std::optional<int32_t> n = frame::readNumericIndex(frame_, rules_.indexArgument);
    if (!n) {
      *result_ = kValueInvalidIndex;
      return false;
    }
    index_ = *n;
  }
  if (!frame::resetStatus()) return false;  // host error 1016 was raised
  session_ = frame::currentSession();
  return true;
}

ObjectCall::~ObjectCall() {
  // A list the cache does not hold (not stored, or delivered with a failing status) would
  // otherwise stay in the interface pool until the connection ends.
  if (resolution_.callerOwnsList && resolution_.objects != nullptr) {
    releaseObjectList(resolution_.objects);
  }
  if (resolution_.interfaceToRelease != nullptr) releaseInterface(resolution_.interfaceToRelease);
}

bool ObjectCall::open() {
  if (!started_) return false;
  mdaccess::Connection connection = mdaccess::getConnection(session_);
  if (connection.status != kStatusOk || connection.interface == nullptr) {
    frame::reportStatus(connection.status);
    *result_ = kValueNoInterface;
    return false;
  }
  interface_ = connection.interface;

  if (rules_.resolvesUri) {
    frame::TextArgument uri = frame::readCharacterInput(frame_, 1);
    // Built right in the member: a copy of the returned record would read it back in wider
    // words than it was written in, which stalls the processor on every call.
    ::new (static_cast<void*>(&resolution_))
        mdaccess::Resolution(mdaccess::resolveObjectUri(session_, uri.text, uri.length));
    if (resolution_.status != kStatusOk && resolution_.status != kStatusNoMatch) {
      frame::reportStatus(resolution_.status);
    }
    if (resolution_.objects == nullptr) {
      *result_ = rules_.unmatchedValue;
      return false;
    }
  }
  return true;
}

}  // namespace objfuncs
